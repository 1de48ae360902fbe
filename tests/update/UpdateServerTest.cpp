// Downloads for the update checks against a real HTTP server on 127.0.0.1 that answers,
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

#include "core/FakePlatform.h"
#include "platform/net/HttpDownload.h"
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
  // An encoded answer would grow without bound (a gzip bomb); another host could be anyone's.
  server.Serve("/gzip", "200 OK\r\nContent-Encoding: gzip", "\x1f\x8b");
  const std::string elsewhere = "http://localhost" + server.Url("/ver").substr(16);
  server.Serve("/away", "302 Found\r\nLocation: " + QByteArray::fromStdString(elsewhere));
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
      {server.Url("/gzip"),
       "the answer came encoded (Content-Encoding: \"gzip\"), which was not asked for"},
      {server.Url("/away"), "redirected to \"" + elsewhere +
                                "\", which is not the address's own scheme, host and port; not "
                                "followed"},
      {server.Url("/silent"), "timed out after 300 ms"},
      {dead, "connection refused"},
  };
  for (const auto& [url, error] : cases) {
    SCOPED_TRACE(url);
    folder.Write("update.dat", "21000\r\n");
    const HttpResult downloaded = HttpDownload(url, folder.str() + "/update.dat", 300);
    EXPECT_EQ(downloaded ? "" : downloaded.error().reason, error);
    const std::string body = url.ends_with("/cap") ? cap.toStdString() : "21327\r\n";
    EXPECT_EQ(folder.Read("update.dat"), error.empty() ? body : "21000\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  }
  // The client stopped taking the endless body soon after the cap: what the server got rid of is
  // bounded by the socket buffers, far below the gigabyte.
  EXPECT_LT(server.streamed, 64 << 20);

  // Nothing arriving ends a download long before its deadline.
  EXPECT_EQ(BlockingFetch(server.Url("/silent"), 100, 60000, 300).Run(false).error().reason,
            "nothing arrived for 300 ms");

  // The service answered, but its answer could not be kept: told apart from no answer.
  const HttpResult unsaved =
      HttpDownload(server.Url("/ver"), folder.str() + "/update.dat/update.dat");
  ASSERT_FALSE(unsaved);
  EXPECT_EQ(std::tuple(unsaved.error().notSaved, unsaved.error().reason),
            std::tuple(true, folder.str() + "/update.dat/: File exists"));
  // Asked for a fresh copy, past any cache on the way.
  const QByteArray head = server.lastRequest.toLower();
  EXPECT_TRUE(head.startsWith("get /ver http/1.1\r\n")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\ncache-control: no-cache")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\npragma: no-cache")) << head.toStdString();
  EXPECT_TRUE(head.contains("\r\naccept-encoding: identity\r\n")) << head.toStdString();
}

}  // namespace
}  // namespace vettrix::test
