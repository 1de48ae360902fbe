#pragma once

// Shared pieces of the benchmarks: a headless platform with a real clock, and program folders
// with generated databases of a given size.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Form1.h"
#include "core/FakePlatform.h"
#include "platform/posix/DiskWatch.h"
#include "platform/posix/Ticks.h"
#include "seam/Platform.h"

namespace vettrix::bench {

// The tests' recording platform with the program's clock and file watch, so that generation
// and lookups cost what they cost in the program.
class HeadlessPlatform : public test::FakePlatform {
 public:
  explicit HeadlessPlatform(std::string programFolder, WatchMode watchMode = WatchMode::kNotified) {
    folder = std::move(programFolder);
    clock = &MonotonicMilliseconds;
    watchFile = [watchMode](const std::string& path) { return WatchDiskFile(path, watchMode); };
  }
};

// A program folder under the system's temporary folder holding a generated mobidex.csv of
// `lines` lines (device lines and a version line); removed on destruction.
class BenchFolder {
 public:
  explicit BenchFolder(int lines);
  ~BenchFolder();
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The shipped database copied into a fresh program folder.
std::unique_ptr<BenchFolder> ShippedDatabaseFolder();

// The device name the generated databases list at position 31 (database line 31).
inline constexpr const char* kListedDevice = "Maker 31 Model 31";

// A started headless window over `folder`.
struct HeadlessApp {
  explicit HeadlessApp(const std::string& folder, WatchMode watchMode = WatchMode::kNotified);
  HeadlessPlatform platform;
  Form1 form;
};

}  // namespace vettrix::bench
