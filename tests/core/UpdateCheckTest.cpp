#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/Branding.h"
#include "app/Form1.h"
#include "app/Handlers.h"
#include "core/FakePlatform.h"
#include "update/CheckUpdate.h"

namespace vettrix {
namespace {

using test::FakePlatform;
using test::TempFolder;

struct LineCase {
  const char* contents;
  const char* line;
};

TEST(VersionFileTest, OnlyTheFirstLineCounts) {
  const std::vector<LineCase> cases = {
      {"21327", "21327"},         {"21327\r\n21400\r\n", "21327"},
      {"21327\r21400", "21327"},  {"21327\n21400", "21327"},
      {"\r\n21327", ""},          {"", ""},
      {" 21327 \r\n", " 21327 "},
  };
  for (const LineCase& c : cases) EXPECT_EQ(FirstLine(c.contents), c.line) << c.contents;
}

struct ProgramValueCase {
  const char* text;
  std::optional<std::int16_t> value;
};

TEST(VersionFileTest, ProgramVersionRoundsHalvesToEvenWithin16Bits) {
  const std::vector<ProgramValueCase> cases = {
      {"21326", 21326},    {"21326.5", 21326},
      {"21327.5", 21328},  {"21325.5", 21326},
      {"21326.49", 21326}, {"21326.51", 21327},
      {"0.5", 0},          {"1.5", 2},
      {"-2.5", -2},        {"-3.5", -4},
      {"-0.4", 0},         {" 21327\t", 21327},
      {"+21327", 21327},   {"2.1e4", 21000},
      {".5", 0},           {"7.", 7},
      {"32767", 32767},    {"32767.4", 32767},
      {"32767.5", {}},     {"32768", {}},
      {"-32768", -32768},  {"-32768.5", -32768},
      {"-32768.6", {}},    {"-32769", {}},
      {"1e999", {}},       {"", {}},
      {"   ", {}},         {"abc", {}},
      {"21327abc", {}},    {"v21327", {}},
      {"21,327", {}},      {"21 327", {}},
      {"0x5350", {}},      {"inf", {}},
      {"nan", {}},         {"-", {}},
      {".", {}},           {"1e", {}},
      {"++1", {}},         {"+-1", {}},
      {"-+1", {}},         {"--1", {}},
      {"1.2.3", {}},
  };
  for (const ProgramValueCase& c : cases)
    EXPECT_EQ(ProgramVersionValue(c.text), c.value) << '"' << c.text << '"';
}

struct DatabaseValueCase {
  const char* text;
  std::optional<double> value;
};

TEST(VersionFileTest, DatabaseVersionIsTheFloorOfADecimal) {
  const std::vector<DatabaseValueCase> cases = {
      {"990000", 990000}, {"990000.99", 990000}, {"990001", 990001},
      {"-0.5", -1},       {"1e6", 1000000},      {"99000000000", 99000000000.0},
      {"", {}},           {"v0.99.0000", {}},    {"99 0000", {}},
      {"1e400", {}},      {"990000x", {}},
  };
  for (const DatabaseValueCase& c : cases)
    EXPECT_EQ(DatabaseVersionValue(c.text), c.value) << '"' << c.text << '"';
}

// A window over a fake platform whose download writes what the "service" publishes.
class UpdateCheckTest : public ::testing::Test {
 protected:
  UpdateCheckTest() {
    platform.folder = folder.str();
    form.ProgramVersionNumber = "21326";
    form.DatabaseVersionNumber = "990000";
    platform.download = [this](std::string_view url, const std::string& file) -> DownloadResult {
      requested.emplace_back(url);
      if (!published) return {false, failure};
      std::ofstream(file, std::ios::binary | std::ios::trunc) << *published;
      return {true, {}};
    };
  }

  TempFolder folder;
  FakePlatform platform;
  Form1 form{platform};
  std::optional<std::string> published;  // empty: the download fails
  std::string failure = "connection refused";
  std::vector<std::string> requested;
};

struct CheckCase {
  const char* name;
  std::string published;
  std::string message;
};

TEST_F(UpdateCheckTest, ProgramCheckSaysHowThePublishedVersionCompares) {
  const std::string own = "21326";
  const std::vector<CheckCase> cases = {
      {"newer", "21327\r\n", "An update is available! Your version: 21326 Online version: 21327"},
      {"same", "21326\r\n",
       "You have the latest version. Your version: 21326 Online version: 21326"},
      {"older", "21325\r\n",
       "You have a development version. Your version: 21326 Online version: 21325"},
      {"second line ignored", "21325\r\n21327\r\n",
       "You have a development version. Your version: 21326 Online version: 21325"},
      {"lone CR ends the line", "21327\r21325",
       "An update is available! Your version: 21326 Online version: 21327"},
      {"half rounds down to even", "21326.5",
       "You have the latest version. Your version: 21326 Online version: 21326.5"},
      {"half rounds up to even", "21325.5",
       "You have the latest version. Your version: 21326 Online version: 21325.5"},
      {"half above rounds up", "21327.5",
       "An update is available! Your version: 21326 Online version: 21327.5"},
      {"empty file", "", "The published Vettrix version could not be read. Online version: \"\""},
      {"empty first line", "\r\n21327\r\n",
       "The published Vettrix version could not be read. Online version: \"\""},
      {"out of 16 bits", "40000\r\n",
       "The published Vettrix version could not be read. Online version: \"40000\""},
      {"web page", "<html><body>It works!</body></html>\n",
       "The published Vettrix version could not be read. Online version: \"<html><body>It "
       "works!</body></html>\""},
      {"long garbage is cut short", std::string(100, 'x'),
       "The published Vettrix version could not be read. Online version: \"" +
           std::string(40, 'x') + "...\""},
      {"control and 8-bit bytes",
       "\x01\xff"
       "7",
       "The published Vettrix version could not be read. Online version: \"??7\""},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.messages.clear();
    published = c.published;
    CheckUpdate(form);
    EXPECT_EQ(platform.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(folder.Read("update.dat"), c.published);
    EXPECT_EQ(form.OnlineProgramVersion, FirstLine(c.published));
  }
}

TEST_F(UpdateCheckTest, DatabaseCheckComparesFloorsWithTheLoadedDatabase) {
  const std::vector<CheckCase> cases = {
      {"newer", "990001\r\n",
       "An Mobidex update is available! Your version: 990000 Online version: 990001"},
      {"same", "990000\r\n",
       "You have the latest Mobidex version. Your version: 990000 Online version: 990000"},
      {"same after the floor", "990000.9",
       "You have the latest Mobidex version. Your version: 990000 Online version: 990000.9"},
      {"older", "989999.99\r\n990001",
       "You have a development Mobidex version. Your version: 990000 Online version: 989999.99"},
      {"empty file", "", "The published Mobidex version could not be read. Online version: \"\""},
      {"dotted text", "v0.99.0001\r\n",
       "The published Mobidex version could not be read. Online version: \"v0.99.0001\""},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.messages.clear();
    published = c.published;
    CheckUpdateDB(form);
    EXPECT_EQ(platform.messages, std::vector<std::string>{c.message});
    EXPECT_EQ(folder.Read("db.dat"), c.published);
  }
}

TEST_F(UpdateCheckTest, MenuItemsAskTheServiceForTheirVersionFiles) {
  published = "21326";
  ProgramUpdate_Click(form);
  published = "990000";
  DBUpdate_Click(form);
  const std::string service(kServiceUrl);
  EXPECT_EQ(requested, (std::vector<std::string>{service + "/ver", service + "/dbver"}));
  EXPECT_EQ(platform.messages.size(), 2u);
  EXPECT_EQ(folder.Read("update.dat"), "21326");
  EXPECT_EQ(folder.Read("db.dat"), "990000");
}

TEST_F(UpdateCheckTest, AFailedDownloadIsReportedInsteadOfAStaleFile) {
  published = "21327";
  CheckUpdate(form);
  platform.messages.clear();

  // The service is gone; update.dat and OnlineProgramVersion still hold the last answer.
  published.reset();
  failure = "timed out after 10 s";
  CheckUpdate(form);
  CheckUpdateDB(form);
  EXPECT_EQ(
      platform.messages,
      (std::vector<std::string>{"The update service could not be reached: timed out after 10 s",
                                "The update service could not be reached: timed out after 10 s"}));
  EXPECT_EQ(form.OnlineProgramVersion, "21327");
  EXPECT_EQ(folder.Read("update.dat"), "21327");
}

TEST_F(UpdateCheckTest, ADatabaseWithoutVersionIsReportedWithoutAsking) {
  published = "990001";
  for (const char* own : {"", "v0.99"}) {
    SCOPED_TRACE(own);
    platform.messages.clear();
    form.DatabaseVersionNumber = own;
    CheckUpdateDB(form);
    EXPECT_EQ(platform.messages,
              std::vector<std::string>{
                  "The version of the loaded Mobidex database could not be read. Your version: \"" +
                  std::string(own) + "\""});
  }
  EXPECT_TRUE(requested.empty());
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "db.dat"));
}

}  // namespace
}  // namespace vettrix
