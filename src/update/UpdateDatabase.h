#pragma once

// Installing the database the web service publishes, when it is newer than the one in use: the
// one procedure behind the window's "Install Mobidex Update" and vettrix-cli update-db.

#include <cstdint>
#include <string>
#include <string_view>

#include "seam/Hashing.h"
#include "seam/Network.h"

namespace vettrix {

inline constexpr std::int64_t kDatabaseMaxBytes = std::int64_t{32} << 20;
inline constexpr std::int64_t kVersionFileMaxBytes = std::int64_t{64} << 10;
// How the reason begins when the service did not answer at all.
inline constexpr std::string_view kUnreachable = "the service could not be reached";

struct DatabaseUpdate {
  enum class Outcome { Installed, Current, Available, Failed, Cancelled };
  Outcome outcome = Outcome::Failed;
  std::string reason;      // why it Failed
  std::string oldVersion;  // version texts ("v1.26.1206"); the old one empty when none was in use
  std::string newVersion;  // for Installed; the published number alone is known otherwise
  std::string oldNumber;   // version numbers, as the window forms them and /dbver gives them
  std::string newNumber;
  int devices = 0;  // of the one installed
};

// Asks the service at `serviceUrl` for its database's version number. When it is greater than
// that of the database `inUse` (or none is in use), and unless `checkOnly`, downloads the
// database, checks it against its published checksum and with the window's reader (every line a
// device line, then a version line whose number is the one published), and installs it as
// `target` in one step. On any failure nothing changes and no temporary file is left.
// `hashing` checks the download.
DatabaseUpdate UpdateDatabase(Network& network, Hashing& hashing, std::string_view serviceUrl,
                              const std::string& inUse, const std::string& target, bool checkOnly);

}  // namespace vettrix
