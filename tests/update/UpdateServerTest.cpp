// Downloads and both update checks against a real HTTP server on 127.0.0.1 that answers,
// redirects, fails, floods, breaks off or stays silent. The user reads why, the file of the last
// good download stays whole and nothing half-written is left beside it.

#include <gtest/gtest.h>

#include <QByteArray>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "app/Form1.h"
#include "core/FakePlatform.h"
#include "platform/qt/HttpDownload.h"
#include "platform/qt/QtPlatform.h"
#include "update/CheckUpdate.h"
#include "update/TestHttpServer.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 300;
constexpr std::int64_t kOneGiB = std::int64_t{1} << 30;
const std::string kOld = "21000\r\n";

class UpdateServerTest : public ::testing::Test {
 protected:
  UpdateServerTest() {
    platform.folder = folder.str();
    platform.download = [](std::string_view url, const std::string& file) {
      return HttpDownload(url, file, kTimeoutMs);
    };
    form.ProgramVersionNumber = "21326";
    form.DatabaseVersionNumber = "990000";
  }

  TempFolder folder;
  TestHttpServer server;
  FakePlatform platform;
  Form1 form{platform};
};

TEST_F(UpdateServerTest, ADownloadKeepsTheBodyOrNamesTheFaultAndKeepsTheOldFile) {
  const std::string body = "21327\r\n";
  server.Serve("/ver", Reply(body.c_str()));
  Reply unannounced(body.c_str());  // the body ends when the connection does
  unannounced.announceLength = false;
  server.Serve("/unannounced", unannounced);
  // /r1 is six redirects away from /ver, /r2 five.
  for (int k = 1; k <= 6; ++k)
    server.Serve("/r" + QByteArray::number(k),
                 Reply(302, "Found", k < 6 ? "/r" + QByteArray::number(k + 1) : "/ver"));
  server.Serve("/500", Reply(500, "Internal Server Error"));
  server.Serve("/503", Reply(503, "Service Unavailable"));
  server.Serve("/1g", Stream(kOneGiB, true));
  server.Serve("/1g-unannounced", Stream(kOneGiB, false));
  server.Serve("/cut", Reply("213", Reply::Kind::kCloseMidBody));
  server.Serve("/silent", Reply({}, Reply::Kind::kNeverAnswer));
  const std::pair<std::string, std::string> cases[] = {
      // the address, and the error if any
      {server.Url("/ver"), ""},
      {server.Url("/unannounced"), ""},
      {server.Url("/r2"), ""},
      {server.Url("/r1"), "more than 5 redirects"},
      {server.Url("/404"), "HTTP 404 Not Found"},
      {server.Url("/500"), "HTTP 500 Internal Server Error"},
      {server.Url("/503"), "HTTP 503 Service Unavailable"},
      {server.Url("/1g"), "response larger than 64 KiB"},
      {server.Url("/1g-unannounced"), "response larger than 64 KiB"},
      {server.Url("/cut"), "the server closed the connection before the whole response arrived"},
      {server.Url("/silent"), "timed out after 300 ms"},
      {DeadServerUrl() + "/ver", "connection refused"},
  };
  for (const auto& [url, error] : cases) {
    SCOPED_TRACE(url);
    folder.Write("update.dat", kOld);
    server.streamed = 0;
    const DownloadResult result =
        HttpDownload(url, (folder.path() / "update.dat").string(), kTimeoutMs);
    EXPECT_EQ(result.ok, error.empty());
    EXPECT_EQ(result.error, error);
    EXPECT_EQ(folder.Read("update.dat"), error.empty() ? body : kOld);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);  // no temporary file
    // The client stopped taking the endless body soon after the cap: what the server got rid of
    // is bounded by the socket buffers, far below the gigabyte.
    EXPECT_LT(server.streamed, 64 << 20);
  }
}

TEST_F(UpdateServerTest, TheProgramsPlatformAsksForAFreshCopy) {
  server.Serve("/ver", Reply("21327\r\n"));
  ASSERT_TRUE(QtPlatform().DownloadFile(server.Url("/ver"), folder.str() + "/update.dat").ok);
  EXPECT_EQ(folder.Read("update.dat"), "21327\r\n");
  const QByteArray head = server.lastRequest.toLower();
  EXPECT_TRUE(head.startsWith("get /ver http/1.1\r\n")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\ncache-control: no-cache")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\npragma: no-cache")) << head.toStdString();
}

TEST_F(UpdateServerTest, BothChecksReportWhatTheServicePublishes) {
  const std::tuple<void (*)(Form1&, std::string_view), std::string, std::string> cases[] = {
      {CheckUpdate, "21327", "An update is available!"},
      {CheckUpdate, "21326", "You have the latest version."},
      {CheckUpdate, "21325", "You have a development version."},
      {CheckUpdateDB, "990001", "An Mobidex update is available!"},
  };
  for (const auto& [check, published, verdict] : cases) {
    SCOPED_TRACE(published);
    const bool program = check == CheckUpdate;
    server.Serve(program ? "/ver" : "/dbver", Reply((published + "\r\n").c_str()));
    platform.messages.clear();
    check(form, server.Url(""));
    EXPECT_EQ(platform.messages, std::vector<std::string>{
                                     verdict + " Your version: " + (program ? "21326" : "990000") +
                                     " Online version: " + published});
    EXPECT_EQ(folder.Read(program ? "update.dat" : "db.dat"), published + "\r\n");
  }
}

}  // namespace
}  // namespace vettrix::test
