#pragma once

// Shared pieces of the benchmarks: a headless platform with a real clock, and program folders
// with generated databases of a given size.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "app/Form1.h"
#include "platform/Platform.h"
#include "platform/Ticks.h"
#include "platform/posix/DiskWatch.h"

namespace vettrix::bench {

class HeadlessPlatform : public Platform {
 public:
  explicit HeadlessPlatform(std::string folder, WatchMode watchMode = WatchMode::kNotified)
      : folder_(std::move(folder)), watchMode_(watchMode) {}
  void MsgBox(std::string_view) override {}
  bool SetClipboardText(std::string_view) override { return true; }
  bool OpenUrl(std::string_view) override { return true; }
  DownloadResult DownloadFile(std::string_view, const std::string&) override { return {}; }
  std::int64_t TickCount() override { return MonotonicMilliseconds(); }
  DateTime Now() override { return {2026, 12, 6, 12, 0, 0}; }
  double SecondsSinceMidnight() override { return 43200.5; }
  char DecimalSeparator() override { return '.'; }
  bool IsUserAnAdmin() override { return true; }
  std::string ProgramFolder() override { return folder_; }
  void Refresh() override {}
  void DoEvents() override {}
  void CloseWindow() override {}
  // The program's own watch, so that lookups cost what they cost in the program.
  std::unique_ptr<FileWatch> WatchFile(const std::string& path) override {
    return WatchDiskFile(path, watchMode_);
  }

 private:
  std::string folder_;
  WatchMode watchMode_;
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
