#pragma once

// Where the program finds its device database and puts the files it writes. A copy run from a
// folder the user can write keeps everything beside itself; an installed copy reads the user's
// own database or the shipped one, and writes into the user's cache and documents folders.
// Paths are bytes, as the system gives them, and may be any bytes.

#include <string>

#include "seam/Folders.h"

namespace vettrix {

struct Locations {
  std::string database;      // mobidex.csv to load (bytes, any bytes)
  std::string userDatabase;  // where the user's own mobidex.csv goes (an installed update)
  std::string cacheFolder;   // update.dat, db.dat
  std::string reportFolder;  // reports
  bool portable = false;     // the program folder is writable: everything beside the program
};

// The locations for a program in `programFolder`. The cache and report folders are created
// when missing; the home folder takes the reports when no documents folder can be made.
Locations FindLocations(const std::string& programFolder);
// The shipped read-only database is looked for in `sharedDataFolder` (by default the installed
// data folder), then in `<programFolder>/../share/vettrix`, then beside the program.
Locations FindLocations(const std::string& programFolder, const std::string& sharedDataFolder);

// The folder the shipped read-only data is installed into, as built (e.g. /usr/share/vettrix).
std::string InstalledDataFolder();

// Where the user's own database goes, as FindLocations finds it, without making any folder.
std::string FindUserDatabase(const std::string& programFolder);

// The device database alone, as FindLocations finds it, without making any folder.
std::string FindDatabase(const std::string& programFolder,
                         const std::string& sharedDataFolder = InstalledDataFolder());

// Folder of the running program, as the bytes of its path.
std::string ProgramFolderPath();

// The web service's address from service-url in vettrix/vettrix.conf: the user's
// ($XDG_CONFIG_HOME), else the first of $XDG_CONFIG_DIRS (/etc/xdg) that has the file. An INI
// file; the key may stand in [General] or before any section.
ServiceSetting ReadServiceSetting();

}  // namespace vettrix
