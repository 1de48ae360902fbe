#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "seam/FileWatch.h"
#include "seam/Network.h"

namespace vettrix {

// Local calendar date and time, as the wall clock shows it.
struct DateTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
};

// Outcome of an HTTP download; `error` is a short human-readable reason when !ok.
struct DownloadResult {
  bool ok = false;
  std::string error;
  bool notSaved = false;  // the server answered, but its answer could not be saved
};

// A key of a settings file, where it stands.
struct SettingKey {
  std::string file;  // bytes, as the system gives them
  int line = 0;      // counted from 1
  std::string key;   // as written ("section/key" in a section other than [General])
};

// The web service's address as the user's settings give it.
struct ServiceSetting {
  std::string value;             // empty when no setting gives one
  std::string source;            // the file that gave it
  std::string userFile;          // the file in which the user would set it
  std::vector<SettingKey> keys;  // every key of every settings file read, known or not
};

// The one way the core reaches the world outside the process: the window toolkit, the system
// clock, the network and the user's session. The Qt implementation serves the program; tests
// use a recording fake.
class Platform : public Network {
 public:
  // Modal message box with an OK button and the application title; returns when closed.
  virtual void MsgBox(std::string_view text) = 0;
  // Clears the clipboard and puts `text` on it. False when the clipboard is not available.
  virtual bool SetClipboardText(std::string_view text) = 0;
  // Hands `url` to the default browser without waiting. False when no browser could be started.
  virtual bool OpenUrl(std::string_view url) = 0;
  // Fetches `url` into `localFile`, replacing it only on success.
  virtual DownloadResult DownloadFile(std::string_view url, const std::string& localFile) = 0;

  // Milliseconds since system start, from a monotonic clock.
  virtual std::int64_t TickCount() = 0;
  virtual DateTime Now() = 0;
  // Seconds since local midnight, with fraction.
  virtual double SecondsSinceMidnight() = 0;
  // The user's locale decimal separator.
  virtual char DecimalSeparator() = 0;

  virtual bool IsUserAnAdmin() = 0;
  // Folder of the running program, without a trailing separator.
  virtual std::string ProgramFolder() = 0;
  // The device database to load, the folder for the version files and the folder for reports.
  // A program run from its own folder keeps them all there.
  virtual std::string DatabaseFile() { return ProgramFolder() + "/mobidex.csv"; }
  virtual std::string CacheFolder() { return ProgramFolder(); }
  virtual std::string ReportFolder() { return ProgramFolder(); }
  // Where an installed database update goes: the database the window prefers to the shipped one.
  virtual std::string UserDatabaseFile() { return ProgramFolder() + "/mobidex.csv"; }
  // The web service's address as the user's settings give it.
  virtual ServiceSetting ServiceUrlSetting() { return {}; }

  // Paints the window from the model now.
  virtual void Refresh() = 0;
  // Lets the window handle its pending events (clicks, typing, painting).
  virtual void DoEvents() = 0;
  // Closes the main window; the program ends when it has closed.
  virtual void CloseWindow() = 0;

  // File change detection.
  // A watch on the file `path` reaches, following links. Null when the platform has none: then
  // every question about the file reads it again.
  virtual std::unique_ptr<FileWatch> WatchFile(const std::string& /*path*/) { return nullptr; }
};

}  // namespace vettrix
