#pragma once

#include <sys/types.h>

#include <QElapsedTimer>
#include <span>

#include "platform/posix/DiskWatch.h"
#include "seam/Platform.h"

namespace vettrix {

class MainWindow;

// Group names whose members count as administrators, as sudo and polkit set them up on the
// common distributions.
inline constexpr const char* kAdminGroups[] = {"sudo", "wheel", "admin"};

// True when any of the user's groups (primary or supplementary) is one of `adminGroups`.
bool IsAdminGroupMember(gid_t primaryGroup, std::span<const gid_t> userGroups,
                        std::span<const gid_t> adminGroups);

// The platform as the real program sees it: Qt for the window, the clipboard and the browser,
// POSIX for the user's rights.
class QtPlatform : public Platform {
 public:
  QtPlatform();
  // `programFolder` and `sharedDataFolder` are where the program runs from and where its
  // shipped data is installed (see FindLocations); by default the running program's.
  QtPlatform(std::string programFolder, std::string sharedDataFolder);

  // The window that message boxes belong to and that Refresh and DoEvents keep up to date.
  void SetWindow(MainWindow* window);
  // Shows the window as the model holds it and fetches its banner anew, without waiting for it.
  void ShowWindow();
  // The window was closed, by the program or by the user; nothing more is shown.
  bool IsClosed() const;

  void MsgBox(std::string_view text) override;
  bool SetClipboardText(std::string_view text) override;
  bool OpenUrl(std::string_view url) override;
  HttpResult DownloadFile(std::string_view url, const std::string& localFile) override;
  // With an activity, a progress dialog over the window that can cancel; the window takes no
  // input meanwhile but keeps painting.
  HttpResult Fetch(std::string_view url, std::int64_t maxBytes, std::string_view activity) override;
  std::string Sha256Hex(std::string_view bytes) override;

  std::int64_t TickCount() override;
  DateTime Now() override;
  double SecondsSinceMidnight() override;
  char DecimalSeparator() override;

  bool IsUserAnAdmin() override;
  std::string ProgramFolder() override;
  std::string DatabaseFile() override;
  std::string CacheFolder() override;
  std::string ReportFolder() override;
  std::string UserDatabaseFile() override;
  ServiceSetting ServiceUrlSetting() override;

  void Refresh() override;
  void DoEvents() override;
  void CloseWindow() override;

  // File change detection.
  std::unique_ptr<FileWatch> WatchFile(const std::string& path) override {
    return WatchDiskFile(path);
  }

 private:
  // Syncs the window from the model unless it was synced within the last frame.
  bool SyncIfDue();

  // Picks the locations for the program folder once: a copy whose database vanished during the
  // session does not start writing elsewhere.
  void FindLocationsOnce();

  std::string programFolder_;
  std::string sharedDataFolder_;
  std::string locationsFor_;  // the program folder the locations below were found for
  std::string databaseFile_, cacheFolder_, reportFolder_, userDatabaseFile_;
  MainWindow* window_ = nullptr;
  QElapsedTimer sinceSync_;
  std::int64_t lastEventsTick_ = -1;  // the coarse tick at which events were last handled
  char decimalSeparator_ = '\0';      // read from the locale on first use
};

}  // namespace vettrix
