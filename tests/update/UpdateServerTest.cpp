#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "core/FakePlatform.h"
#include "platform/qt/HttpDownload.h"
#include "platform/qt/QtPlatform.h"
#include "update/CheckUpdate.h"

namespace vettrix {
namespace {

using test::FakePlatform;
using test::TempFolder;

// What the test server does with a request for one path.
struct Reply {
  enum class Kind {
    kNormal,        // status line, Content-Length, body, close
    kNoLength,      // body delimited by closing the connection
    kCloseMidBody,  // promises more than it sends, then closes
    kNeverAnswer,   // reads the request and stays silent
  };
  int status = 200;
  QByteArray reason = "OK";
  QByteArray body;
  Kind kind = Kind::kNormal;
  QByteArray location;  // sent as Location when not empty
  int delayMs = 0;      // wait before answering
};

Reply Status(int status, QByteArray reason, QByteArray body = {}) {
  Reply reply;
  reply.status = status;
  reply.reason = std::move(reason);
  reply.body = std::move(body);
  return reply;
}
Reply Body(QByteArray body) {
  return Status(200, "OK", std::move(body));
}
Reply Redirect(QByteArray to) {
  Reply reply = Status(302, "Found");
  reply.location = std::move(to);
  return reply;
}
Reply Delayed(QByteArray body, int delayMs) {
  Reply reply = Body(std::move(body));
  reply.delayMs = delayMs;
  return reply;
}
Reply OfKind(Reply::Kind kind, QByteArray body = {}) {
  Reply reply = Body(std::move(body));
  reply.kind = kind;
  return reply;
}

// A small HTTP/1.1 server on 127.0.0.1: one request per connection, answers from a table of paths,
// 404 for anything else. It runs on the test's thread, served by the download's own event loop.
class TestHttpServer : public QObject {
 public:
  TestHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) ADD_FAILURE() << "cannot listen on 127.0.0.1";
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
  }

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }
  std::string Url(const std::string& path) const { return BaseUrl() + path; }
  void Serve(const QByteArray& path, Reply reply) { replies_[path] = std::move(reply); }

  std::vector<std::string> paths;  // request targets in arrival order
  QByteArray lastRequest;          // head of the last request, as received

 private:
  void Accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      socket->setParent(this);
      auto received = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
        if (received->contains("\r\n\r\n")) return;  // one request per connection
        *received += socket->readAll();
        const qsizetype end = received->indexOf("\r\n\r\n");
        if (end < 0) return;
        lastRequest = received->left(end);
        const QList<QByteArray> requestLine =
            lastRequest.left(lastRequest.indexOf("\r\n")).split(' ');
        const QByteArray path = requestLine.size() > 1 ? requestLine[1] : QByteArray();
        paths.push_back(path.toStdString());
        const auto found = replies_.find(path);
        const Reply reply =
            found != replies_.end() ? found->second : Status(404, "Not Found", "no such page\n");
        if (reply.delayMs > 0) {
          QTimer::singleShot(reply.delayMs, socket, [socket, reply] { Answer(*socket, reply); });
        } else {
          Answer(*socket, reply);
        }
      });
    }
  }

  static void Answer(QTcpSocket& socket, const Reply& reply) {
    if (reply.kind == Reply::Kind::kNeverAnswer) return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " " + reply.reason + "\r\n";
    head += "Content-Type: text/plain\r\nConnection: close\r\n";
    if (!reply.location.isEmpty()) head += "Location: " + reply.location + "\r\n";
    if (reply.kind == Reply::Kind::kNormal)
      head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (reply.kind == Reply::Kind::kCloseMidBody)
      head += "Content-Length: " + QByteArray::number(reply.body.size() + 1000) + "\r\n";
    socket.write(head + "\r\n" + reply.body);
    socket.disconnectFromHost();  // sends what is queued, then closes
  }

  QTcpServer server_;
  std::map<QByteArray, Reply> replies_;
};

// A port on 127.0.0.1 that nobody listens on.
std::string DeadServerUrl() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  const quint16 port = probe.serverPort();
  probe.close();
  return "http://127.0.0.1:" + std::to_string(port);
}

std::set<std::string> FilesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

constexpr int kShortTimeoutMs = 300;
const std::string kOldFile = "21000\r\n";

struct DownloadCase {
  const char* name;
  std::vector<std::pair<QByteArray, Reply>> replies;
  bool ok;
  std::string error;     // exact reason when !ok
  std::string contents;  // update.dat afterwards
};

class HttpDownloadTest : public ::testing::Test {
 protected:
  TempFolder folder;
  TestHttpServer server;
  std::string file = (folder.path() / "update.dat").string();
};

TEST_F(HttpDownloadTest, KeepsTheBodyOnSuccessAndTheOldFileOnFailure) {
  const QByteArray cap(64 * 1024, '7');
  const std::vector<DownloadCase> cases = {
      {"plain answer", {{"/ver", Body("21327\r\n")}}, true, "", "21327\r\n"},
      {"empty answer", {{"/ver", Body("")}}, true, "", ""},
      {"body ended by closing",
       {{"/ver", OfKind(Reply::Kind::kNoLength, "21327\r\n")}},
       true,
       "",
       "21327\r\n"},
      {"exactly 64 KiB", {{"/ver", Body(cap)}}, true, "", cap.toStdString()},
      {"slow but in time", {{"/ver", Delayed("21327", 50)}}, true, "", "21327"},
      {"redirect followed",
       {{"/ver", Redirect("/v2/ver")}, {"/v2/ver", Body("21328")}},
       true,
       "",
       "21328"},
      {"five redirects followed",
       {{"/ver", Redirect("/r1")},
        {"/r1", Redirect("/r2")},
        {"/r2", Redirect("/r3")},
        {"/r3", Redirect("/r4")},
        {"/r4", Redirect("/r5")},
        {"/r5", Body("21329")}},
       true,
       "",
       "21329"},
      {"a sixth redirect refused",
       {{"/ver", Redirect("/r1")},
        {"/r1", Redirect("/r2")},
        {"/r2", Redirect("/r3")},
        {"/r3", Redirect("/r4")},
        {"/r4", Redirect("/r5")},
        {"/r5", Redirect("/r6")},
        {"/r6", Body("21329")}},
       false,
       "more than 5 redirects",
       kOldFile},
      {"page missing", {}, false, "HTTP 404 Not Found", kOldFile},
      {"server error",
       {{"/ver", Status(500, "Internal Server Error", "oops")}},
       false,
       "HTTP 500 Internal Server Error",
       kOldFile},
      {"over the cap, length announced",
       {{"/ver", Body(cap + "8")}},
       false,
       "response larger than 64 KiB",
       kOldFile},
      {"over the cap, length not announced",
       {{"/ver", OfKind(Reply::Kind::kNoLength, cap + cap)}},
       false,
       "response larger than 64 KiB",
       kOldFile},
      {"closed mid-body",
       {{"/ver", OfKind(Reply::Kind::kCloseMidBody, "213")}},
       false,
       "the server closed the connection before the whole response arrived",
       kOldFile},
      {"never answers",
       {{"/ver", OfKind(Reply::Kind::kNeverAnswer)}},
       false,
       "timed out after 300 ms",
       kOldFile},
  };
  for (const DownloadCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [path, reply] : c.replies) server.Serve(path, reply);
    folder.Write("update.dat", kOldFile);

    const DownloadResult result = HttpDownload(server.Url("/ver"), file, kShortTimeoutMs);
    EXPECT_EQ(result.ok, c.ok);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(folder.Read("update.dat"), c.contents);
    EXPECT_EQ(FilesIn(folder.path()), std::set<std::string>{"update.dat"});

    for (const auto& [path, reply] : c.replies) server.Serve(path, Status(404, "Not Found"));
  }
}

TEST_F(HttpDownloadTest, AsksForAFreshCopy) {
  server.Serve("/ver", Body("21327"));
  ASSERT_TRUE(HttpDownload(server.Url("/ver"), file).ok);
  const QByteArray head = server.lastRequest.toLower();
  EXPECT_TRUE(head.startsWith("get /ver http/1.1\r\n")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\ncache-control: no-cache")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\npragma: no-cache")) << head.toStdString();
}

TEST_F(HttpDownloadTest, UnreachableOrMalformedAddressesFailWithoutTouchingFiles) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {DeadServerUrl() + "/ver", "connection refused"},
      {"ftp://127.0.0.1/ver", "not a web address: ftp://127.0.0.1/ver"},
      {"no address at all", "not a web address: no address at all"},
  };
  for (const auto& [url, error] : cases) {
    SCOPED_TRACE(url);
    const DownloadResult result = HttpDownload(url, file, kShortTimeoutMs);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, error);
    EXPECT_TRUE(FilesIn(folder.path()).empty());
  }
}

TEST_F(HttpDownloadTest, TheProgramsPlatformDownloadsTheSameWay) {
  const std::vector<DownloadCase> cases = {
      {"published", {{"/ver", Body("21327\r\n")}}, true, "", "21327\r\n"},
      {"page missing", {}, false, "HTTP 404 Not Found", kOldFile},
  };
  QtPlatform platform;
  for (const DownloadCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [path, reply] : c.replies) server.Serve(path, reply);
    folder.Write("update.dat", kOldFile);

    const DownloadResult result = platform.DownloadFile(server.Url("/ver"), file);
    EXPECT_EQ(result.ok, c.ok);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(folder.Read("update.dat"), c.contents);

    for (const auto& [path, reply] : c.replies) server.Serve(path, Status(404, "Not Found"));
  }
}

// The checks of the Update menu, fetching through the real download from the loopback server.
class UpdateServerTest : public ::testing::Test {
 protected:
  UpdateServerTest() {
    platform.folder = folder.str();
    platform.download = [](std::string_view url, const std::string& localFile) {
      return HttpDownload(url, localFile, kShortTimeoutMs);
    };
    form.ProgramVersionNumber = "21326";
    form.DatabaseVersionNumber = "990000";
  }

  TempFolder folder;
  TestHttpServer server;
  FakePlatform platform;
  Form1 form{platform};
};

struct PublishedCase {
  const char* name;
  Reply reply;
  std::string message;
};

TEST_F(UpdateServerTest, ProgramCheckReportsWhatTheServicePublishes) {
  const std::string unreachable = "The update service could not be reached: ";
  const std::vector<PublishedCase> cases = {
      {"newer", Body("21327\r\n"),
       "An update is available! Your version: 21326 Online version: 21327"},
      {"same", Body("21326\r\n"),
       "You have the latest version. Your version: 21326 Online version: 21326"},
      {"older", Body("21325\r\n"),
       "You have a development version. Your version: 21326 Online version: 21325"},
      {"second line ignored", Body("21325\r\n21327\r\n"),
       "You have a development version. Your version: 21326 Online version: 21325"},
      {"fractional, half to even", Body("21327.5\r\n"),
       "An update is available! Your version: 21326 Online version: 21327.5"},
      {"fractional, half to even below", Body("21326.5\r\n"),
       "You have the latest version. Your version: 21326 Online version: 21326.5"},
      {"garbage", Body("<html>Parked domain</html>\r\n"),
       "The published Vettrix version could not be read. Online version: \"<html>Parked "
       "domain</html>\""},
      {"page missing", Status(404, "Not Found", "gone"), unreachable + "HTTP 404 Not Found"},
      {"too large", Body(QByteArray(100 * 1024, '1')), unreachable + "response larger than 64 KiB"},
      {"never answers", OfKind(Reply::Kind::kNeverAnswer), unreachable + "timed out after 300 ms"},
  };
  for (const PublishedCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.messages.clear();
    server.Serve("/ver", c.reply);
    CheckUpdate(form, server.BaseUrl());
    EXPECT_EQ(platform.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(server.paths.back(), "/ver");
  }
}

TEST_F(UpdateServerTest, DatabaseCheckReportsWhatTheServicePublishes) {
  server.Serve("/dbver", Body("990001\r\n"));
  server.Serve("/ver", Body("21326\r\n"));  // the program's file must not be the one read
  CheckUpdateDB(form, server.BaseUrl());
  EXPECT_EQ(platform.messages,
            std::vector<std::string>{
                "An Mobidex update is available! Your version: 990000 Online version: 990001"});
  EXPECT_EQ(server.paths, std::vector<std::string>{"/dbver"});
  EXPECT_EQ(folder.Read("db.dat"), "990001\r\n");
}

TEST_F(UpdateServerTest, AServiceThatWentAwayIsReportedNotTheLastAnswer) {
  server.Serve("/ver", Body("21327\r\n"));
  CheckUpdate(form, server.BaseUrl());
  platform.messages.clear();

  CheckUpdate(form, DeadServerUrl());
  EXPECT_EQ(platform.messages, std::vector<std::string>{
                                   "The update service could not be reached: connection refused"});
  EXPECT_EQ(folder.Read("update.dat"), "21327\r\n");
  EXPECT_EQ(form.OnlineProgramVersion, "21327");
  EXPECT_EQ(FilesIn(folder.path()), std::set<std::string>{"update.dat"});
}

TEST_F(UpdateServerTest, AnOversizedAnswerLeavesThePreviousFileWhole) {
  folder.Write("db.dat", "990000\r\n");
  server.Serve("/dbver", OfKind(Reply::Kind::kNoLength, QByteArray(200 * 1024, '9')));
  CheckUpdateDB(form, server.BaseUrl());
  EXPECT_EQ(platform.messages,
            std::vector<std::string>{
                "The update service could not be reached: response larger than 64 KiB"});
  EXPECT_EQ(folder.Read("db.dat"), "990000\r\n");
  EXPECT_EQ(FilesIn(folder.path()), std::set<std::string>{"db.dat"});
}

}  // namespace
}  // namespace vettrix
