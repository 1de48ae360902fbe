#pragma once

#include <memory>
#include <string>
#include <vector>

#include "seam/FileWatch.h"

namespace vettrix {

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

// Where the program's files are, and whether one changed. Paths are bytes, as the system gives
// them, and may be any bytes; the files themselves are read and written with the standard
// library.
class Folders {
 public:
  virtual ~Folders() = default;
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
  // A watch on the file `path` reaches, following links. Null when there is none: then every
  // question about the file reads it again.
  virtual std::unique_ptr<FileWatch> WatchFile(const std::string& /*path*/) { return nullptr; }
};

}  // namespace vettrix
