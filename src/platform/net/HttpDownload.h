#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "seam/Network.h"

class QObject;
class QEventLoop;

namespace vettrix {

inline constexpr int kDownloadTimeoutMs = 10000;
// A download that receives nothing for this long is given up, whatever its deadline.
inline constexpr int kDownloadStallMs = 30000;
// Redirects are followed only within the address's own origin: scheme, host and port, as Qt's
// same-origin policy compares them (a port written out, even the scheme's own, differs from none).
inline constexpr int kDownloadMaxRedirects = 5;
inline constexpr std::int64_t kDownloadMaxBytes = std::int64_t{64} * 1024;

// Bytes received so far and the total announced (-1: unknown).
using FetchProgress = std::function<void(std::int64_t received, std::int64_t total)>;

// Plain HTTP GET of `url` with the limits above, asking for a fresh copy and for no content
// encoding: an encoded body is refused, as its size says nothing of what it expands to. Returns
// at once; `done`
// runs exactly once, from the event loop, unless `context` is destroyed first: then the request
// is abandoned and `done` never runs; `done` itself must not destroy `context`, which still holds
// the finishing reply. Without an application object `done` runs at once.
// `maxBytes` caps the body; `progress`, when set, hears of every part that arrives; `stallMs`
// ends a fetch that receives nothing for that long.
void HttpFetch(std::string_view url, QObject* context, const std::function<void(HttpResult)>& done,
               int timeoutMs = kDownloadTimeoutMs, std::int64_t maxBytes = kDownloadMaxBytes,
               const FetchProgress& progress = {}, int stallMs = kDownloadStallMs);

// HttpFetch that waits for its end in an event loop of its own. Without user input, the window
// repaints meanwhile but takes no clicks or keys; with it, a dialog of the caller's (a progress
// bar with a Cancel button) can be used, and Cancel() ends the wait at once.
class BlockingFetch {
 public:
  BlockingFetch(std::string_view url, std::int64_t maxBytes, int timeoutMs,
                int stallMs = kDownloadStallMs);
  // Cancelled, it fails as `cancelled`.
  HttpResult Run(bool userInput, const FetchProgress& progress = {});
  void Cancel();
  bool Cancelled() const { return cancelled_; }

 private:
  std::string url_;
  std::int64_t maxBytes_;
  int timeoutMs_;
  int stallMs_;
  bool cancelled_ = false;
  QEventLoop* loop_ = nullptr;
};

// HttpFetch of `url` into `localFile`, which ReplaceFile writes whole or not at all. Blocks the
// caller while it runs (the window still repaints but takes no user input). Needs a
// QCoreApplication, not a running event loop.
// An answer that could not be saved fails as `notSaved`.
HttpResult HttpDownload(std::string_view url, const std::string& localFile,
                        int timeoutMs = kDownloadTimeoutMs);

}  // namespace vettrix
