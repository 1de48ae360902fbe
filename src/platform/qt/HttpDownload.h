#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace vettrix {

inline constexpr int kDownloadTimeoutMs = 10000;
inline constexpr int kDownloadMaxRedirects = 5;
inline constexpr std::int64_t kDownloadMaxBytes = std::int64_t{64} * 1024;

// Plain HTTP GET of `url` into `localFile`, asking for a fresh copy. Blocks the caller while it
// runs (the window still repaints but takes no user input). The body goes to a temporary file
// beside `localFile`, renamed over it only on success. Needs a QCoreApplication, not a running
// event loop.
DownloadResult HttpDownload(std::string_view url, const std::string& localFile,
                            int timeoutMs = kDownloadTimeoutMs);

}  // namespace vettrix
