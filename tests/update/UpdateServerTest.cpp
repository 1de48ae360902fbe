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
#include "update/TestHttpServer.h"

namespace vettrix {
namespace {

using test::FakePlatform;
using test::TempFolder;

using test::Body;
using test::DeadServerUrl;
using test::Delayed;
using test::FilesIn;
using test::OfKind;
using test::Redirect;
using test::Reply;
using test::Status;
using test::TestHttpServer;

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
