// Both update checks against a loopback server that misbehaves: silent, endless, cut off, or
// failing. The user reads why, and the version files of the last good check stay as they were.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "core/FakePlatform.h"
#include "platform/qt/HttpDownload.h"
#include "update/CheckUpdate.h"
#include "update/TestHttpServer.h"

namespace vettrix::test {
namespace {

constexpr int kTimeoutMs = 300;
constexpr std::int64_t kOneGiB = std::int64_t{1} << 30;
const std::string kUpdateDat = "21000\r\n";
const std::string kDbDat = "990000\r\n";

struct ServerFault {
  const char* name;
  Reply reply;
  std::string reason;  // what follows "The update service could not be reached: "
};

class UpdateFaultTest : public ::testing::Test {
 protected:
  UpdateFaultTest() {
    platform.folder = folder.str();
    platform.download = [](std::string_view url, const std::string& localFile) {
      return HttpDownload(url, localFile, kTimeoutMs);
    };
    form.ProgramVersionNumber = "21326";
    form.DatabaseVersionNumber = "990000";
  }

  TempFolder folder;
  TestHttpServer server;
  FakePlatform platform;
  Form1 form{platform};
};

TEST_F(UpdateFaultTest, AMisbehavingServerIsNamedAndTheVersionFilesStayWhole) {
  const std::vector<ServerFault> faults = {
      {"accepts and never answers", OfKind(Reply::Kind::kNeverAnswer), "timed out after 300 ms"},
      {"1 GiB announced", Stream(kOneGiB, true), "response larger than 64 KiB"},
      {"1 GiB without a length", Stream(kOneGiB, false), "response larger than 64 KiB"},
      {"closes mid-body", OfKind(Reply::Kind::kCloseMidBody, "213"),
       "the server closed the connection before the whole response arrived"},
      {"service unavailable", Status(503, "Service Unavailable", "come back later"),
       "HTTP 503 Service Unavailable"},
      {"internal error", Status(500, "Internal Server Error"), "HTTP 500 Internal Server Error"},
  };
  struct Check {
    const char* path;
    void (*run)(Form1&, std::string_view);
  };
  const Check checks[] = {
      {"/ver", [](Form1& f, std::string_view url) { CheckUpdate(f, url); }},
      {"/dbver", [](Form1& f, std::string_view url) { CheckUpdateDB(f, url); }}};

  folder.Write("update.dat", kUpdateDat);
  folder.Write("db.dat", kDbDat);
  form.OnlineProgramVersion = "21000";
  for (const ServerFault& fault : faults) {
    for (const Check& check : checks) {
      SCOPED_TRACE(std::string(fault.name) + " on " + check.path);
      platform.messages.clear();
      server.streamed = 0;
      server.Serve(check.path, fault.reply);
      check.run(form, server.BaseUrl());

      EXPECT_EQ(platform.messages, std::vector<std::string>{
                                       "The update service could not be reached: " + fault.reason});
      EXPECT_EQ(folder.Read("update.dat"), kUpdateDat);
      EXPECT_EQ(folder.Read("db.dat"), kDbDat);
      EXPECT_EQ(form.OnlineProgramVersion, "21000");
      EXPECT_EQ(FilesIn(folder.path()), (std::set<std::string>{"db.dat", "update.dat"}));
      // The client stopped taking the endless body soon after the cap: what the server got
      // rid of is bounded by the socket buffers, far below the gigabyte.
      EXPECT_LT(server.streamed, 64 << 20);
    }
  }
}

TEST_F(UpdateFaultTest, AGoodAnswerAfterTheFaultsIsTakenAsUsual) {
  server.Serve("/ver", Stream(kOneGiB, false));
  CheckUpdate(form, server.BaseUrl());
  server.Serve("/ver", Body("21327\r\n"));
  platform.messages.clear();
  CheckUpdate(form, server.BaseUrl());
  EXPECT_EQ(platform.messages,
            std::vector<std::string>{
                "An update is available! Your version: 21326 Online version: 21327"});
  EXPECT_EQ(folder.Read("update.dat"), "21327\r\n");
  EXPECT_EQ(FilesIn(folder.path()), std::set<std::string>{"update.dat"});
}

}  // namespace
}  // namespace vettrix::test
