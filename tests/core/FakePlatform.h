#pragma once

// A recording stand-in for the platform, shared by the tests, the benchmarks and the fuzz
// targets: messages, clipboard and opened pages are kept to be read; time is set by the caller
// (or comes from `clock`). Files are real.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "seam/Platform.h"

namespace vettrix::test {

class FakePlatform : public Platform {
 public:
  std::vector<std::string> messages;
  std::vector<std::string> openedUrls;
  std::string clipboard;
  bool clipboardWorks = true;
  bool browserWorks = true;
  bool admin = true;
  std::int64_t tick = 1'000'000;
  std::int64_t tickStep = 0;            // added after every read, to let time pass in loops
  std::function<std::int64_t()> clock;  // when set, the tick count comes from it instead
  DateTime now{2026, 12, 5, 4, 15, 2};
  std::string folder;
  int closeCount = 0;
  std::function<void()> onDoEvents;  // runs inside DoEvents, as a user's click would
  std::function<HttpResult(std::string_view, const std::string&)> download;
  // Answers Fetch; the requests are kept (with their activity) in `fetched`.
  std::function<HttpResult(std::string_view url)> fetch;
  std::vector<std::string> fetched;
  ServiceSetting serviceSetting;
  // Makes the file watches; without it every lookup reads the database again.
  std::function<std::unique_ptr<FileWatch>(const std::string&)> watchFile;

  void MsgBox(std::string_view text) override { messages.emplace_back(text); }
  bool SetClipboardText(std::string_view text) override {
    if (!clipboardWorks) return false;
    clipboard = text;
    return true;
  }
  bool OpenUrl(std::string_view url) override {
    if (!browserWorks) return false;
    openedUrls.emplace_back(url);
    return true;
  }
  HttpResult DownloadFile(std::string_view url, const std::string& localFile) override {
    if (download) return download(url, localFile);
    return HttpFailed("no network");
  }
  HttpResult Fetch(std::string_view url, std::int64_t, std::string_view activity) override {
    fetched.push_back(std::string(url) +
                      (activity.empty() ? "" : " [" + std::string(activity) + "]"));
    if (fetch) return fetch(url);
    return HttpFailed("no network");
  }
  // Not SHA-256, but a digest of its shape all the same: the tests compare it with itself.
  std::string Sha256Hex(std::string_view bytes) override {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016zx", std::hash<std::string_view>{}(bytes));
    return std::string(hex) + hex + hex + hex;
  }
  ServiceSetting ServiceUrlSetting() override { return serviceSetting; }
  std::int64_t TickCount() override {
    if (clock) return clock();
    const std::int64_t t = tick;
    tick += tickStep;
    return t;
  }
  DateTime Now() override { return now; }
  double SecondsSinceMidnight() override { return 15302.25; }
  char DecimalSeparator() override { return '.'; }
  bool IsUserAnAdmin() override { return admin; }
  std::string ProgramFolder() override { return folder; }
  void Refresh() override {}
  void DoEvents() override {
    if (onDoEvents) onDoEvents();
  }
  void CloseWindow() override { ++closeCount; }
  std::unique_ptr<FileWatch> WatchFile(const std::string& path) override {
    return watchFile ? watchFile(path) : nullptr;
  }
};

// A fresh temporary folder, removed with everything in it at the end of the test.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Writes `contents` byte for byte into `name` inside the folder, making the folders on the way.
  void Write(const std::string& name, const std::string& contents) const;
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Permission faults do not happen to root. As root, runs the current test again in a child
// process as the unprivileged user "nobody" (in group sudo when `administrator`), records its
// outcome and returns true: the caller then returns. Otherwise returns false, and the test goes
// on as it is.
bool RerunUnprivileged(bool administrator = false);

// A database of `deviceLines` lines "TTTTTTTT,Maker k,Model k" (TACs 10000000 + k) and a version
// line of the given version text, CR LF line ends.
std::string MakeDatabase(int deviceLines, const std::string& version = "v0.99.0000");

}  // namespace vettrix::test
