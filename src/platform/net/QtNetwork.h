#pragma once

// The network through Qt, without a window: the command line's, and the window's for the
// downloads that show nothing.

#include "seam/Hashing.h"
#include "seam/Network.h"

namespace vettrix {

// A download of more than the version files' cap may take this long before it is given up.
inline constexpr int kLargeDownloadTimeoutMs = 5 * 60 * 1000;

class QtNetwork : public Network, public Hashing {
 public:
  // Needs a QCoreApplication; shows nothing, whatever the activity.
  HttpResult Fetch(std::string_view url, std::int64_t maxBytes, std::string_view activity) override;
  HttpResult DownloadFile(std::string_view url, const std::string& localFile) override;
  std::string Sha256Hex(std::string_view bytes) override;
};

// The deadline of a download of at most `maxBytes`.
int TimeoutFor(std::int64_t maxBytes);

}  // namespace vettrix
