// Downloads and both update checks against a real HTTP server on 127.0.0.1 that answers,
// redirects, fails, floods, breaks off or stays silent. The user reads why, the file of the last
// good download stays whole and nothing half-written is left beside it.

#include <gtest/gtest.h>

#include <QByteArray>
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

TEST(UpdateServerTest, ADownloadKeepsTheBodyOrNamesTheFaultAndKeepsTheOldFile) {
  TempFolder folder;
  TestHttpServer server;
  server.Serve("/ver", "200 OK", "21327\r\n");
  // /r1 is six redirects away from /ver, /r2 five.
  for (int k = 1; k <= 6; ++k)
    server.Serve("/r" + QByteArray::number(k),
                 "302 Found\r\nLocation: " + (k < 6 ? "/r" + QByteArray::number(k + 1) : "/ver"));
  server.Serve("/500", "500 Internal Server Error");
  server.Serve("/1g", "200 OK", {}, Reply::Kind::kGigabyte);
  // Bodies whose size nobody announces: chunked, or ended by closing the connection.
  using enum Reply::Framing;
  const QByteArray cap(64 * 1024, '7');
  for (const auto& [path, framing] : {std::pair{"/chunked", kChunked}, {"/unsized", kClose}}) {
    server.Serve(path + QByteArray("/ver"), "200 OK", "21327\r\n", Reply::Kind::kNormal, framing);
    server.Serve(path + QByteArray("/cap"), "200 OK", cap, Reply::Kind::kNormal, framing);
    server.Serve(path + QByteArray("/over"), "200 OK", cap + "7", Reply::Kind::kNormal, framing);
    server.Serve(path + QByteArray("/1g"), "200 OK", {}, Reply::Kind::kGigabyte, framing);
  }
  server.Serve("/cut", "200 OK", "213", Reply::Kind::kCloseMidBody);
  server.Serve("/silent", "200 OK", {}, Reply::Kind::kNeverAnswer);
  const std::string dead = TestHttpServer().Url("/ver");  // a port nobody listens on any more
  const std::pair<std::string, std::string> cases[] = {
      // the address, and the error if any
      {server.Url("/r2"), ""},
      {server.Url("/r1"), "more than 5 redirects"},
      {server.Url("/404"), "HTTP 404 Not Found"},
      {server.Url("/500"), "HTTP 500 Internal Server Error"},
      {server.Url("/1g"), "response larger than 64 KiB"},
      {server.Url("/chunked/ver"), ""},
      {server.Url("/chunked/cap"), ""},
      {server.Url("/chunked/over"), "response larger than 64 KiB"},
      {server.Url("/chunked/1g"), "response larger than 64 KiB"},
      {server.Url("/unsized/ver"), ""},
      {server.Url("/unsized/cap"), ""},
      {server.Url("/unsized/over"), "response larger than 64 KiB"},
      {server.Url("/unsized/1g"), "response larger than 64 KiB"},
      {server.Url("/cut"), "the server closed the connection before the whole response arrived"},
      {server.Url("/silent"), "timed out after 300 ms"},
      {dead, "connection refused"},
  };
  for (const auto& [url, error] : cases) {
    SCOPED_TRACE(url);
    folder.Write("update.dat", "21000\r\n");
    EXPECT_EQ(HttpDownload(url, folder.str() + "/update.dat", 300).error, error);
    const std::string body = url.ends_with("/cap") ? cap.toStdString() : "21327\r\n";
    EXPECT_EQ(folder.Read("update.dat"), error.empty() ? body : "21000\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  }
  // The client stopped taking the endless body soon after the cap: what the server got rid of is
  // bounded by the socket buffers, far below the gigabyte.
  EXPECT_LT(server.streamed, 64 << 20);
}

TEST(UpdateServerTest, BothChecksReportWhatTheServicePublishesFetchedAsAFreshCopy) {
  TempFolder folder;
  TestHttpServer server;
  FakePlatform platform;
  platform.folder = folder.str();
  platform.download = [](std::string_view url, const std::string& file) {
    return QtPlatform().DownloadFile(url, file);
  };
  Form1 form{platform};
  form.ProgramVersionNumber = "21326";
  form.DatabaseVersionNumber = "990000";
  for (const auto& [path, published, verdict] :
       {std::tuple{"/ver", "21327", "An update is available!"},
        {"/ver", "21326", "You have the latest version."},
        {"/ver", "21325", "You have a development version."},
        {"/dbver", "990001", "An Mobidex update is available!"}}) {
    const bool program = path == std::string_view("/ver");
    server.Serve(path, "200 OK", QByteArray(published) + "\r\n");
    platform.messages.clear();
    (program ? CheckUpdate : CheckUpdateDB)(form, server.Url(""));
    EXPECT_EQ(platform.messages, std::vector<std::string>{std::string(verdict) + " Your version: " +
                                                          (program ? "21326" : "990000") +
                                                          " Online version: " + published});
    EXPECT_EQ(folder.Read(program ? "update.dat" : "db.dat"), std::string(published) + "\r\n");
  }
  // A folder that cannot be written: the service did answer, and the message says so.
  platform.folder = folder.str() + "/update.dat";
  platform.messages.clear();
  CheckUpdateDB(form, server.Url(""));
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].rfind("The update service answered, but its answer could not be "
                                       "saved to " +
                                           platform.folder + "/db.dat: ",
                                       0),
            0u)
      << platform.messages[0];
  // The program's platform asks for a fresh copy, past any cache on the way.
  const QByteArray head = server.lastRequest.toLower();
  EXPECT_TRUE(head.startsWith("get /dbver http/1.1\r\n")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\ncache-control: no-cache")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\npragma: no-cache")) << head.toStdString();
}

}  // namespace
}  // namespace vettrix::test
