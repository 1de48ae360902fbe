// Faults of the world outside the program, made for real while it runs: a report folder that
// turns read-only, goes away or fills up; a database file that is deleted, cut short or replaced
// by a folder; databases far larger or stranger than the shipped one.

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "core/Fixture.h"
#include "db/Mobidex.h"

namespace vettrix::test {
namespace {

namespace fs = std::filesystem;

const std::string kReportName = "Vettrix.v2.1.3-r26.Professional.Edition-(12-05-2026_041502).txt";

std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Lines of a CR LF separated text; an empty text has none.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
    lines.push_back(text.substr(from, at - from));
  lines.push_back(text.substr(from));
  return lines;
}

// A small file system of 64 KiB mounted over a folder for the length of a test (root only).
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const fs::path& at) : at_(at) {
    fs::create_directory(at_);
    if (::geteuid() != 0) {
      reason_ = "not running as root, so no file system can be mounted";
    } else if (::mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      reason_ = std::string("mounting a tmpfs failed: ") + std::strerror(errno);
    } else {
      mounted_ = true;
    }
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }

  // Writes a file until the file system has no room left.
  void Fill() const {
    std::ofstream filler(at_ / "filler", std::ios::binary);
    const std::string block(4096, 'F');
    for (int i = 0; i < 1000 && filler; ++i) filler.write(block.data(), block.size());
  }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string reason_;
};

enum class ReportFault { kReadOnly, kFolderGone, kDiskFull };

struct ReportFaultCase {
  const char* name;
  ReportFault fault;
  const char* reason;  // the system's words, as the user reads them
};

// ctest lists the case by its name rather than by its bytes.
void PrintTo(const ReportFaultCase& c, std::ostream* out) {
  *out << c.name;
}

class ReportFolderFaultTest : public AppTest,
                              public ::testing::WithParamInterface<ReportFaultCase> {
 protected:
  fs::path program() const { return folder.path() / "program"; }
};

// The first run writes its report; the second loses its folder midway and must say so, keeping
// what it made and leaving the first report and the folder as they were.
TEST_P(ReportFolderFaultTest, ARunWhoseFolderFailsSaysWhyAndKeepsEverything) {
  const ReportFaultCase& c = GetParam();
  std::unique_ptr<SmallTmpfs> tmpfs;
  if (c.fault == ReportFault::kReadOnly && ::geteuid() == 0)
    GTEST_SKIP() << "running as root, which writes into read-only folders anyway; the folder "
                    "that disappears covers a failing write for root";
  if (c.fault == ReportFault::kDiskFull) {
    tmpfs = std::make_unique<SmallTmpfs>(program());
    if (!tmpfs->mounted()) GTEST_SKIP() << tmpfs->reason();
  } else {
    fs::create_directory(program());
  }
  std::ofstream(program() / "mobidex.csv", std::ios::binary) << MakeDatabase(3);
  platform.folder = program().string();
  form = std::make_unique<Form1>(platform);
  Form_Load(*form);
  ASSERT_FALSE(form->closed);

  form->Combo1.text = "Samsung Galaxy S8";
  form->Combo2.text = "3";
  Command2_Click(*form);
  ASSERT_EQ(platform.messages.size(), 1u);
  const std::string firstReport = ReadFile(program() / kReportName);
  ASSERT_EQ(Lines(firstReport).size(), 6u + 3u + 1u);

  fs::path where = program();  // where the first report lives after the fault
  int cycles = 0;
  platform.onDoEvents = [&] {
    if (!form->generating) return;
    if (++cycles == 5) {
      switch (c.fault) {
        case ReportFault::kReadOnly:
          fs::permissions(program(), fs::perms::owner_read | fs::perms::owner_exec);
          break;
        case ReportFault::kFolderGone:
          where = folder.path() / "moved";
          fs::rename(program(), where);
          break;
        case ReportFault::kDiskFull:
          tmpfs->Fill();
          break;
      }
    }
    if (cycles == 20) Command2_Click(*form);  // Stop
  };
  platform.messages.clear();
  form->Combo2.text = "1e12";
  Command2_Click(*form);
  std::error_code ignored;
  fs::permissions(program(), fs::perms::owner_all, fs::perm_options::add, ignored);

  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0], "The report could not be written to " + program().string() + "/" +
                                      kReportName + ": " + c.reason);
  // What the run made is still on the window.
  EXPECT_GE(form->ValidCount, 1);
  EXPECT_EQ(static_cast<std::int64_t>(Lines(form->ValidList).size()), form->ValidCount);
  EXPECT_EQ(form->Label19.caption, "Valid: " + std::to_string(form->ValidCount));
  EXPECT_EQ(form->Command2.caption, "Generate");
  // The first report is whole, and nothing half-written lies beside it.
  EXPECT_EQ(ReadFile(where / kReportName), firstReport);
  std::set<std::string> expected = {"mobidex.csv", kReportName};
  if (c.fault == ReportFault::kDiskFull) expected.insert("filler");
  EXPECT_EQ(FilesIn(where), expected);
}

INSTANTIATE_TEST_SUITE_P(Faults, ReportFolderFaultTest,
                         ::testing::Values(ReportFaultCase{"ReadOnly", ReportFault::kReadOnly,
                                                           "Permission denied"},
                                           ReportFaultCase{"FolderGone", ReportFault::kFolderGone,
                                                           "No such file or directory"},
                                           ReportFaultCase{"DiskFull", ReportFault::kDiskFull,
                                                           "No space left on device"}),
                         [](const auto& info) { return info.param.name; });

// Valid IMEIs on the TAC of the database's Samsung line, and one on no TAC of it.
constexpr const char* kSamsungA = "359116081234560";
constexpr const char* kSamsungB = "359116086543213";
constexpr const char* kSamsungC = "353323051111119";

std::string FaultDatabase() {
  return "35911608,Samsung,Galaxy S8\r\n"
         "35332305,Samsung,Galaxy S3\r\n"
         "00000000,v0.99.0000,Version\r\n";
}

struct DatabaseFault {
  const char* name;
  std::function<void(const fs::path&)> apply;
  const char* manufacturer;  // what Label13 shows for a Galaxy S8 afterwards
};

const std::vector<DatabaseFault>& DatabaseFaults() {
  static const std::vector<DatabaseFault> faults = {
      {"deleted", [](const fs::path& db) { fs::remove(db); },
       "Manufacturer: Not Found in Database!"},
      {"truncated to nothing", [](const fs::path& db) { fs::resize_file(db, 0); },
       "Manufacturer: Not Found in Database!"},
      {"cut in its first line", [](const fs::path& db) { fs::resize_file(db, 13); },
       "Manufacturer: Sams"},
      {"replaced by a folder",
       [](const fs::path& db) {
         fs::remove(db);
         fs::create_directory(db);
       },
       "Manufacturer: Not Found in Database!"},
  };
  return faults;
}

class DatabaseFaultTest : public AppTest {
 protected:
  fs::path database() const { return folder.path() / "mobidex.csv"; }
  void Restore() const {
    std::error_code ec;
    fs::remove_all(database(), ec);
    folder.Write("mobidex.csv", FaultDatabase());
  }
};

TEST_F(DatabaseFaultTest, ALookupAfterTheFileBrokeFindsWhatIsLeftAndRecoversWithTheFile) {
  Start(FaultDatabase());
  for (const DatabaseFault& fault : DatabaseFaults()) {
    SCOPED_TRACE(fault.name);
    Validate(kSamsungA);
    ASSERT_EQ(form->Label13.caption, "Manufacturer: Samsung");
    const std::int64_t valid = form->ValidCount;

    fault.apply(database());
    Validate(kSamsungB);
    EXPECT_EQ(form->Label16.caption, "VALID");
    EXPECT_EQ(form->Label13.caption, fault.manufacturer);
    EXPECT_EQ(form->ValidCount, valid + 1);
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_FALSE(form->closed);

    // Put back, the file is read again at the next lookup.
    Restore();
    Validate(kSamsungC);
    EXPECT_EQ(form->Label14.caption, "Model: Galaxy S3");
  }
}

// The whole program folder swapped for a fresh copy, as an installer would: the copy's database
// is the one read from then on.
TEST_F(DatabaseFaultTest, AFolderSwappedForAFreshCopyIsReadAfresh) {
  const fs::path program = folder.path() / "program";
  fs::create_directory(program);
  std::ofstream(program / "mobidex.csv", std::ios::binary) << FaultDatabase();
  platform.folder = program.string();
  form = std::make_unique<Form1>(platform);
  Form_Load(*form);
  ASSERT_FALSE(form->closed);
  Validate(kSamsungA);
  ASSERT_EQ(form->Label13.caption, "Manufacturer: Samsung");

  struct Swap {
    const char* name;
    std::function<void()> apply;
  };
  const Swap swaps[] = {
      {"moved away", [&] { fs::rename(program, folder.path() / "old"); }},
      {"deleted", [&] { fs::remove_all(program); }},
  };
  int round = 0;
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.name);
    swap.apply();
    Validate(kSamsungB);
    EXPECT_EQ(form->Label13.caption, "Manufacturer: Not Found in Database!");

    const std::string maker = "Maker " + std::to_string(++round);
    fs::create_directory(program);
    std::ofstream(program / "mobidex.csv", std::ios::binary)
        << "35911608," + maker + ",Galaxy S8\r\n00000000,v0.99.0001,Version\r\n";
    Validate(kSamsungA);
    EXPECT_EQ(form->Label13.caption, "Manufacturer: " + maker);
  }
}

TEST_F(DatabaseFaultTest, AGenerationRunOutlivesTheFileBreakingAndReportsAllItMade) {
  struct DeviceType {
    const char* name;
    int listIndex;
  };
  // A device from the catalogue, and one whose TACs come from the database itself.
  const DeviceType types[] = {{"Samsung Galaxy S8", 27}, {"Samsung Galaxy S3", 30}};
  std::string db;
  for (int k = 1; k <= 29; ++k)
    db += std::to_string(20000000 + k) + ",Maker,Model " + std::to_string(k) + "\r\n";
  db += "35332305,Samsung,Galaxy S3\r\n35911608,Samsung,Galaxy S8\r\n";
  db += "00000000,v0.99.0000,Version\r\n";
  Start(db);
  ASSERT_EQ(form->Combo1.list.size(), 31u);
  ASSERT_EQ(form->Combo1.list[30], "Samsung Galaxy S3");
  platform.tickStep = 1;

  int runs = 0;
  for (const DeviceType& type : types) {
    for (const DatabaseFault& fault : DatabaseFaults()) {
      SCOPED_TRACE(std::string(type.name) + ", " + fault.name);
      folder.Write("mobidex.csv", db);
      int cycles = 0;
      platform.onDoEvents = [&] {
        if (!form->generating) return;
        if (++cycles == 5) fault.apply(database());
        if (cycles == 40) Command2_Click(*form);  // Stop
      };
      platform.messages.clear();
      form->Combo1.text = type.name;
      form->Combo1.listIndex = type.listIndex;
      form->Combo2.text = "1e12";
      Command2_Click(*form);
      ++runs;

      EXPECT_EQ(cycles, 40);
      EXPECT_EQ(form->Command2.caption, "Generate");
      // Every IMEI made went into the report, under a name of its own.
      ASSERT_EQ(platform.messages.size(), 1u);
      const std::string name = runs == 1 ? kReportName
                                         : kReportName.substr(0, kReportName.size() - 4) + "-" +
                                               std::to_string(runs) + ".txt";
      EXPECT_EQ(platform.messages[0].rfind("Calculation completed in ", 0), 0u);
      EXPECT_NE(platform.messages[0].find("Output written to " + folder.str() + "/" + name),
                std::string::npos);
      const std::vector<std::string> report = Lines(folder.Read(name));
      ASSERT_GE(report.size(), 7u);
      EXPECT_EQ(std::vector<std::string>(report.begin() + 6, report.end() - 1),
                Lines(form->ValidList));
      EXPECT_EQ(static_cast<std::int64_t>(report.size()) - 7, form->ValidCount);
      std::error_code ec;
      fs::remove_all(database(), ec);
    }
  }
}

// Every valid IMEI is looked up. With the file gone each lookup once set the folder watch up
// anew, some milliseconds each: this run took minutes instead of a blink, past ctest's timeout.
TEST_F(DatabaseFaultTest, ARunWithTheDatabaseGoneLooksUpAtFullPace) {
  Start(FaultDatabase());
  fs::remove(database());
  form->Combo1.text = "Samsung Galaxy S8";
  form->Combo2.text = "50000";
  Command2_Click(*form);
  EXPECT_EQ(form->ValidCount, 50'000);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Not Found in Database!");
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(Lines(folder.Read(kReportName)).size(), 6u + 50'000u + 1u);

  // And the file is found again as soon as it is back.
  Restore();
  Validate(kSamsungA);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Samsung");
}

TEST_F(DatabaseFaultTest, TwoHundredThousandLinesAreCutAtTheTableSizeWithOneMessage) {
  std::string db;
  db.reserve(200'000 * 30);
  for (int k = 1; k <= 200'000; ++k)
    db += std::to_string(10'000'000 + k) + ",Maker " + std::to_string(k) + ",Model\r\n";
  Start(db);
  ASSERT_FALSE(form->closed);
  EXPECT_EQ(platform.messages,
            std::vector<std::string>{"The IMEI Database has more than 99999 lines. Only the first "
                                     "99999 were read; the rest was ignored."});
  EXPECT_EQ(form->Label25.caption, "Devices Supported: 99998");
  EXPECT_EQ(form->Combo1.list.size(), 30u + 99'999u - 31u);

  struct Lookup {
    const char* imei;
    const char* manufacturer;
  };
  const Lookup lookups[] = {
      {"100000020000013", "Manufacturer: Maker 2"},
      {"100999990000012", "Manufacturer: Maker 99999"},             // the last line read
      {"101000000000008", "Manufacturer: Not Found in Database!"},  // line 100,000
      {"101999990000011", "Manufacturer: Not Found in Database!"},  // line 199,999
  };
  for (const Lookup& l : lookups) {
    SCOPED_TRACE(l.imei);
    Validate(l.imei);
    EXPECT_EQ(form->Label16.caption, "VALID");
    EXPECT_EQ(form->Label13.caption, l.manufacturer);
  }
}

TEST_F(DatabaseFaultTest, ATenMegabyteLineIsReadAndLookedUp) {
  const std::string model(10 * 1024 * 1024, 'M');
  Start("35911608,Samsung," + model);
  ASSERT_FALSE(form->closed);
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(form->Devices.LineCount(), 1);
  EXPECT_EQ(form->Label20.caption, "Database Version:   Samsung,MM");
  EXPECT_EQ(form->Label25.caption, "Devices Supported: 0");
  EXPECT_EQ(form->Combo1.list.size(), 30u);

  Validate(kSamsungA);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Samsung");
  EXPECT_EQ(form->Label14.caption.str().size(), std::string("Model: ").size() + model.size());
  Validate(kSamsungC);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Not Found in Database!");
}

TEST_F(DatabaseFaultTest, NulBytesAreKeptAsPartOfTheText) {
  using namespace std::string_literals;
  const std::string db =
      "35911608,Sam\0sung,Galaxy\0S8\r\n"s
      "3533\0"
      "305,Nul,In TAC\r\n"s
      "\0\0\0\0\0\0\0\0,Only,Nuls\r\n"s
      "00000000,v0.99\0.0000,Version\r\n"s;
  folder.Write("mobidex.csv", db);  // byte for byte, NULs included
  Start(nullptr);
  ASSERT_FALSE(form->closed);
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(form->Devices.LineCount(), 4);
  EXPECT_EQ(form->Label20.caption, "Database Version:   v0.99\0.000"s);

  Validate(kSamsungA);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Sam\0sung"s);
  EXPECT_EQ(form->Label14.caption, "Model: Galaxy\0S8"s);
  // The NUL inside a TAC is a character like any other: no IMEI reaches that line.
  Validate(kSamsungC);
  EXPECT_EQ(form->Label13.caption, "Manufacturer: Not Found in Database!");
  form->Text1.text =
      "3533\0"
      "305111111"s;
  Command1_Click(*form);
  EXPECT_EQ(form->Label16.caption, "INVALID");
}

}  // namespace
}  // namespace vettrix::test
