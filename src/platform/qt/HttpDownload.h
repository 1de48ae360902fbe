#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

class QObject;

namespace vettrix {

inline constexpr int kDownloadTimeoutMs = 10000;
inline constexpr int kDownloadMaxRedirects = 5;
inline constexpr std::int64_t kDownloadMaxBytes = std::int64_t{64} * 1024;

// What a fetch brought back: the body and its declared type, or why there is none.
struct FetchResult {
  bool ok = false;
  std::string error;
  QByteArray body;
  QString contentType;
};

// Plain HTTP GET of `url` with the limits above, asking for a fresh copy. Returns at once; `done`
// runs exactly once, from the event loop, unless `context` is destroyed first: then the request
// is abandoned and `done` never runs; `done` itself must not destroy `context`, which still holds
// the finishing reply. Without an application object `done` runs at once.
void HttpFetch(std::string_view url, QObject* context, const std::function<void(FetchResult)>& done,
               int timeoutMs = kDownloadTimeoutMs);

// HttpFetch of `url` into `localFile`. Blocks the caller while it runs (the window still repaints
// but takes no user input). The body goes to a temporary file beside `localFile`, renamed over it
// only on success. Needs a QCoreApplication, not a running event loop.
DownloadResult HttpDownload(std::string_view url, const std::string& localFile,
                            int timeoutMs = kDownloadTimeoutMs);

}  // namespace vettrix
