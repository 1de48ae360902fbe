#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/Branding.h"
#include "app/Text.h"
#include "commands/Handlers.h"
#include "core/FakePlatform.h"
#include "db/Database.h"
#include "update/CheckUpdate.h"
#include "update/ServiceAddress.h"

namespace vettrix {
namespace {

using Strings = std::vector<std::string>;

TEST(VersionFileTest, ProgramVersionRoundsHalfToEvenWithin16Bits) {
  const std::pair<const char*, std::optional<std::int16_t>> cases[] = {
      {"21326.5", 21326},   {"21327.5", 21328}, {"-2.5", -2},   {"-3.5", -4},
      {"32767", 32767},     {"32767.5", {}},    {"32768", {}},  {"-32768", -32768},
      {"-32768.5", -32768}, {"-32768.6", {}},   {"-32769", {}}, {"", {}},
      {"abc", {}},          {"21327abc", {}},   {"21,327", {}}, {"1e999", {}},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ProgramVersionValue(text), value) << text;
}

// The order of database versions (the first digit, which the version number leaves out, first), and
// the keys of a settings file as QSettings reads them, each told of with a close known name.
TEST(VersionFileTest, VersionsOrderAndSettingsKeysReadAsTheirReadersDo) {
  const std::pair<const char*, std::optional<std::pair<int, double>>> versions[] = {
      {"v1.26.1206", std::pair(1, 261206.0)},
      {"v2.00.0001", std::pair(2, 1.0)},
      {"v1.2x", {}},
      {"v", {}},
      {"", {}}};
  for (const auto& [text, order] : versions) EXPECT_EQ(VersionOrder(text), order) << text;
  EXPECT_LT(VersionOrder("v1.99.9999"), VersionOrder("v2.00.0001"));
  const std::string file =
      "; a comment\n[General] ; mine\nservice%2Durl = \"a;b\" ; the lab's\nservce-url=\\\n"
      "x\n[Lab]\nkey=1\r\n# not a key=2\n";
  Strings keys;
  for (const SettingKey& key : SettingKeysOf(file, "f"))
    keys.push_back(std::to_string(key.line) + " " + key.key);
  EXPECT_EQ(keys, (Strings{"3 service-url", "4 servce-url", "7 Lab/key"}));
  const std::string_view known[] = {"listen", "service-url", "trusted-proxy"};
  const std::pair<const char*, const char*> typed[] = {{"lissten", "listen"},
                                                       {"SERVICE_URL", "service-url"},
                                                       {"trusted_proxy", "trusted-proxy"},
                                                       {"threads", ""},
                                                       {"", ""}};
  for (const auto& [text, close] : typed) EXPECT_EQ(CloseName(known, text), close) << text;
}

// A window over a fake platform whose download writes what the "service" publishes.
class UpdateCheckTest : public ::testing::Test {
 protected:
  UpdateCheckTest() {
    platform.folder = folder.str();
    form.ProgramVersionNumber = "21326";
    platform.download = [this](std::string_view url, const std::string& file) -> HttpResult {
      requested.emplace_back(url);
      if (!published) return HttpFailed("timed out after 10 s");
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      if (!(out << *published))
        return Unexpected<HttpFailure>{{.reason = file + ": Not a directory", .notSaved = true}};
      return HttpAnswer{.body = *published, .status = 200};
    };
  }

  test::TempFolder folder;
  test::FakePlatform platform;
  Form1 form{platform};
  std::optional<std::string> published;  // empty: the download fails
  Strings requested;
};

// The verdicts a user meets on a working service are checked against the real server
// (tests/update); these rows are the readings behind them, and the faults.
TEST_F(UpdateCheckTest, EachCheckSaysHowThePublishedVersionCompares) {
  const std::string own = "Your version: 21326 Online version: ";
  const std::string ownDb = "Your version: 990000 Online version: ";
  const std::string unreadable = " version could not be read. Online version: \"";
  const std::string tiny = "0." + std::string(400, '0') + "1";  // underflows to 0
  const auto failed = [](const char* path) {
    return "The update service could not be reached at \"" + std::string(kServiceUrl) + path +
           "\": timed out after 10 s.\r\nCheck the network connection and try again. The "
           "built-in address " +
           std::string(kServiceUrl) + " was used: no settings file sets service-url.";
  };
  struct Case {
    void (*click)(Form1&);
    std::optional<std::string> published;  // none: the download fails
    std::string message;
    const char* ownDbVersion = "990000";
    std::string folder = "";  // below the program folder
  };
  const Case cases[] = {
      {ProgramUpdate_Click, "21327\r21325", "An update is available! " + own + "21327"},
      {ProgramUpdate_Click, "21326.5", "You have the latest version. " + own + "21326.5"},
      {ProgramUpdate_Click, "21325\r\n21327", "You have a development version. " + own + "21325"},
      {ProgramUpdate_Click, "40000\r\n", "The published Vettrix" + unreadable + "40000\""},
      {ProgramUpdate_Click, std::string(100, 'x'),
       "The published Vettrix" + unreadable + std::string(40, 'x') + "...\""},
      {ProgramUpdate_Click, "7\x01\xff", "The published Vettrix" + unreadable + "7?\xC3\xBF\""},
      {DBUpdate_Click, "990001\r\n", "An Mobidex update is available! " + ownDb + "990001"},
      {DBUpdate_Click, "990000.9", "You have the latest Mobidex version. " + ownDb + "990000.9"},
      {DBUpdate_Click, "989999.99\r\n990001",
       "You have a development Mobidex version. " + ownDb + "989999.99"},
      {DBUpdate_Click, "", "The published Mobidex" + unreadable + "\""},
      // Found by fuzzing: a tiny number was called unreadable.
      {DBUpdate_Click, "1e-400", "You have a development Mobidex version. " + ownDb + "1e-400"},
      {DBUpdate_Click, tiny, "You have a development Mobidex version. " + ownDb + tiny},
      {DBUpdate_Click, "1e400", "The published Mobidex" + unreadable + "1e400\""},
      // The service gone: the last answer must not be compared again.
      {ProgramUpdate_Click, {}, failed("/ver")},
      {DBUpdate_Click, {}, failed("/dbver")},
      {DBUpdate_Click,
       {},
       "The version of the loaded Mobidex database could not be read. Your version: \"v0.99\"",
       "v0.99"},
      // The service answered, but its answer could not be kept: told apart from no answer.
      {DBUpdate_Click, "990001",
       "The update service answered, but its answer could not be saved: " + folder.str() +
           "/db.dat/db.dat: Not a directory",
       "990000", "/db.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.published.value_or("(no answer)") + " " + c.ownDbVersion);
    platform.messages.clear();
    requested.clear();
    published = c.published;
    form.DatabaseVersionNumber = c.ownDbVersion;
    platform.folder = folder.str() + c.folder;
    c.click(form);
    const bool program = c.click == ProgramUpdate_Click;
    EXPECT_EQ(platform.messages, Strings{c.message});
    // A database without a version asks nothing.
    EXPECT_EQ(requested, c.ownDbVersion == std::string("990000")
                             ? Strings{std::string(kServiceUrl) + (program ? "/ver" : "/dbver")}
                             : Strings{});
    if (c.published && c.folder.empty()) {
      EXPECT_EQ(folder.Read(program ? "update.dat" : "db.dat"), *c.published);
    }
  }
}

}  // namespace
}  // namespace vettrix
