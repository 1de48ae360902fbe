// Faults of the world outside the program, made for real while it runs: a report folder that
// turns read-only, goes away or fills up; a database file that is deleted, cut short or replaced
// by a folder; databases far larger or stranger than the shipped one.

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/Fixture.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kReportName = "Vettrix.v2.1.3-r26.Professional.Edition-(12-05-2026_041502).txt";
const std::string kNotFound = "Manufacturer: Not Found in Database!";
// Valid IMEIs on the TAC of the database's Galaxy S8 line, and one on its Galaxy S3 line.
constexpr const char* kS8a = "359116081234560";
constexpr const char* kS3 = "353323051111119";

// The Galaxy S8 first, the Galaxy S3 on line 30, the first that the device list takes.
std::string FaultDatabase() {
  std::string db = "35911608,Samsung,Galaxy S8\r\n";
  for (int k = 2; k <= 29; ++k) db += std::to_string(20000000 + k) + ",Maker,Model\r\n";
  return db + "35332305,Samsung,Galaxy S3\r\n20000031,A,B\r\n00000000,v0.99.0000,Version\r\n";
}

class FaultTest : public AppTest {
 protected:
  void TearDown() override { ::umount2(program().c_str(), MNT_DETACH); }  // the full tmpfs, if any
  fs::path program() const { return folder.path() / "program"; }
  fs::path database() const { return folder.path() / "mobidex.csv"; }

  // Starts the program from a folder of its own, which the test can move, delete or fill.
  void StartInProgramFolder(const std::string& db) {
    fs::create_directory(program());  // unless it is already there as a mount point
    folder.Write("program/mobidex.csv", db);
    platform.folder = program().string();
    form = std::make_unique<Form1>(platform);
    Form_Load(*form);
  }
  void RestoreDatabase() const {
    fs::remove_all(database());
    folder.Write("mobidex.csv", FaultDatabase());
  }
  // Deletes mobidex.csv, or empties it, cuts it in its first line or replaces it by a folder.
  void BreakDatabase(const std::string& how) const {
    if (how == "emptied" || how == "cut in its first line")
      return fs::resize_file(database(), how == "emptied" ? 0 : 13);
    fs::remove(database());
    if (how == "replaced by a folder") fs::create_directory(database());
  }
  // Clicks Generate for `type` with no message shown yet and runs `fault` at the fifth event-pump
  // turn, Stop at the 40th.
  void RunEndlessly(const std::string& type, int index, const std::function<void()>& fault) {
    int cycles = 0;
    platform.messages.clear();
    platform.onDoEvents = [&] {
      if (form->generating && ++cycles == 5) fault();
      if (form->generating && cycles == 40) Command2_Click(*form);  // Stop
    };
    form->Combo1.text = type;
    form->Combo1.listIndex = index;
    form->Combo2.text = "1e12";
    Command2_Click(*form);
    platform.onDoEvents = nullptr;
  }
  // The report holds its six heading lines, then what the window lists.
  void ExpectReportOfTheRun(const std::string& report) const {
    EXPECT_EQ(std::ranges::count(report, '\n'), 6 + form->ValidCount);
    EXPECT_TRUE(report.ends_with("\r\n" + form->ValidList + "\r\n"));
  }
};

// The fault, and the system's words for it as the user reads them.
class ReportFolderFaultTest
    : public FaultTest,
      public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

// The first run writes its report; the second loses its folder midway and must say so, keeping
// what it made and leaving the first report and the folder as they were.
TEST_P(ReportFolderFaultTest, ARunWhoseFolderFailsSaysWhyAndKeepsEverything) {
  const std::string fault = GetParam().first;
  if (fault == "ReadOnly" && RerunUnprivileged()) return;
  if (fault == "DiskFull") {
    fs::create_directory(program());
    if (::geteuid() != 0 || ::mount("tmpfs", program().c_str(), "tmpfs", 0, "size=64k") != 0)
      GTEST_SKIP() << "no tmpfs can be mounted here";
  }
  StartInProgramFolder(MakeDatabase(3));
  RunEndlessly("Samsung Galaxy S8", 27, [] {});
  const std::string firstReport = folder.Read("program/" + kReportName);
  RunEndlessly("Samsung Galaxy S8", 27, [&] {
    if (fault == "ReadOnly")
      fs::permissions(program(), fs::perms::owner_read | fs::perms::owner_exec);
    if (fault == "FolderGone") fs::rename(program(), folder.path() / "moved");
    if (fault == "DiskFull")  // writes until no room is left
      std::ofstream(program() / "filler", std::ios::binary) << std::string(1 << 20, 'F');
  });
  const std::string where = fault == "FolderGone" ? "moved" : "program";  // the first report's

  EXPECT_EQ(platform.messages,
            std::vector<std::string>{"The report could not be written to " + program().string() +
                                     "/" + kReportName + ": " + GetParam().second});
  // What the run made is still on the window.
  EXPECT_EQ(std::ranges::count(form->ValidList, '\n') + 1, form->ValidCount);
  EXPECT_EQ(form->Label19.caption, "Valid: " + std::to_string(form->ValidCount));
  // The first report is whole, and nothing half-written lies beside it.
  EXPECT_EQ(folder.Read(where + "/" + kReportName), firstReport);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path() / where), {}),
            fault == "DiskFull" ? 3 : 2);  // with mobidex.csv, and the filler
}

INSTANTIATE_TEST_SUITE_P(Faults, ReportFolderFaultTest,
                         ::testing::Values(std::pair{"ReadOnly", "Permission denied"},
                                           std::pair{"FolderGone", "No such file or directory"},
                                           std::pair{"DiskFull", "No space left on device"}),
                         [](const auto& info) { return std::string(info.param.first); });

// Between two lookups or while a run goes on, mobidex.csv breaks: what is left is read, nothing
// is shown, the run reports all it made, and the file put back is read again.
TEST_F(FaultTest, ADatabaseFileThatBreaksIsReadAsWhatIsLeft) {
  Start(FaultDatabase());
  platform.tickStep = 1;
  for (const std::string how :
       {"deleted", "emptied", "cut in its first line", "replaced by a folder"}) {
    SCOPED_TRACE(how);
    Validate(kS8a);
    BreakDatabase(how);
    Validate(kS8a);
    EXPECT_EQ(form->Label13.caption,
              how == "cut in its first line" ? "Manufacturer: Sams" : kNotFound);
    EXPECT_TRUE(platform.messages.empty());
    RestoreDatabase();
    Validate(kS3);
    EXPECT_EQ(form->Label14.caption, "Model: Galaxy S3");

    // A device of the catalogue, and one whose TACs come from the database itself.
    for (const auto& [type, index] :
         {std::pair{"Samsung Galaxy S8", 27}, std::pair{"Samsung Galaxy S3", 30}}) {
      RunEndlessly(type, index, [&] { BreakDatabase(how); });
      EXPECT_EQ(platform.messages.size(), 1u) << type;
      ExpectReportOfTheRun(folder.Read(kReportName));
      fs::remove(folder.path() / kReportName);
      platform.messages.clear();
      RestoreDatabase();
    }
  }
}

// A typed device whose TAC ticks no reporting body, renamed in the database mid-run: nothing is
// left to make candidates from, and the message names the device as typed, cut short.
TEST_F(FaultTest, ATypedDeviceGoneMidRunStopsTheRunAndNamesIt) {
  const std::string model(70, 'M');
  Start("12345678,Maker," + model + "\r\n00000000,v0.99.0000,Version\r\n");
  RunEndlessly("Maker " + model, -1,
               [&] { folder.Write("mobidex.csv", "12345678,Maker,Renamed\r\n"); });
  EXPECT_EQ(platform.messages,
            std::vector<std::string>{"Generation stopped: the device type \"Maker " +
                                     model.substr(0, 54) +
                                     "...\" is unknown and no reporting body "
                                     "is ticked."});
}

TEST_F(FaultTest, HugeOrStrangeDatabasesAreReadAndLookedUp) {
  std::string lines;
  for (int k = 1; k <= 200'000; ++k)
    lines += std::to_string(10'000'000 + k) + ",Maker " + std::to_string(k) + ",Model\r\n";
  const std::string model(10 << 20, 'M');
  // The database; the messages, the devices as Label25 counts them, then lookups of an IMEI with
  // the manufacturer and model shown, an empty model not being looked at.
  const std::tuple<std::string, std::size_t, std::string, const char*, std::string, std::string>
      cases[] = {
          {lines, 1, "99998", "100999990000012", "Manufacturer: Maker 99999", ""},  // line 99,999
          {"35911608,Samsung," + model, 0, "0", kS8a, "Manufacturer: Samsung", "Model: " + model},
          // A NUL is a character like any other, in a name or in a TAC.
          {"35911608,Sam\0sung,Galaxy\0S8\r\n3533\0"
           "305,Nul,In TAC\r\n\0\0\0\0\0\0\0\0,Only,Nuls\r\n00000000,v0.99\0.0000,Version\r\n"s,
           0, "3", kS8a, "Manufacturer: Sam\0sung"s, "Model: Galaxy\0S8"s},
          {"3533\0305,Nul,In TAC\r\n00000000,v0.99.0000,Version\r\n"s, 0, "1", kS3, kNotFound, ""},
      };
  for (const auto& [db, messages, devices, imei, manufacturer, model] : cases) {
    SCOPED_TRACE(imei);
    platform.messages.clear();
    folder.Write("mobidex.csv", db);  // byte for byte, NULs included
    Start(nullptr);
    EXPECT_EQ(platform.messages.size(), messages);
    EXPECT_EQ(form->Label25.caption, "Devices Supported: " + devices);
    Validate(imei);
    EXPECT_EQ(form->Label13.caption, manufacturer);
    const std::string shown = form->Label14.caption.str();
    EXPECT_TRUE(model.empty() || shown == model) << shown.substr(0, 80);
  }
}

}  // namespace
}  // namespace vettrix::test
