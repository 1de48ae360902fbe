#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace vettrix {

// Plain HTTP GET of `url` into `localFile`, asking for a fresh copy. Blocks the caller while it
// runs (the window still repaints but takes no user input). The body goes to a temporary file
// beside `localFile`, renamed over it only on success.
DownloadResult HttpDownload(std::string_view url, const std::string& localFile);

}  // namespace vettrix
