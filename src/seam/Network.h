#pragma once

// The network as the core sees it, for the procedures that download: the window's platform is
// one, and vettrix-cli, which has no window, has one of its own.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "seam/Result.h"

namespace vettrix {

// What a GET brought back. Every member has its default, so that a literal names only those it
// sets.
struct HttpAnswer {
  std::string body{};
  std::string contentType{};  // as declared
  int status = 0;             // the HTTP status
  std::string etag{};         // the ETag header as sent, when there was one
};

// Why a GET brought nothing back.
struct HttpFailure {
  std::string reason{};    // short, for a message
  int status = 0;          // the HTTP status, when the server answered; 0 when nothing did
  bool cancelled = false;  // the user stopped it
  bool notSaved = false;   // the server answered, but its answer could not be saved
};

// The outcome of one GET, however it was made: into memory, into a file, waited for or not.
using HttpResult = Result<HttpAnswer, HttpFailure>;

inline Unexpected<HttpFailure> HttpFailed(std::string reason, int status = 0) {
  return {{std::move(reason), status}};
}

class Network {
 public:
  virtual ~Network() = default;

  // GET of `url` into memory, at most `maxBytes`, asking for a fresh copy. With an `activity`,
  // the user sees how far it got under that title and may cancel it; without, it is quick and
  // nothing is shown.
  virtual HttpResult Fetch(std::string_view url, std::int64_t maxBytes,
                           std::string_view activity) = 0;
  // GET of `url` (a version file: small, quick) into `localFile`, replacing it only on success.
  virtual HttpResult DownloadFile(std::string_view url, const std::string& localFile) = 0;
};

}  // namespace vettrix
