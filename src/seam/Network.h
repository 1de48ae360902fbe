#pragma once

// The network as the core sees it, for the procedures that download: the window's platform is
// one, and vettrix-cli, which has no window, has one of its own.

#include <cstdint>
#include <string>
#include <string_view>

namespace vettrix {

// Every member has its default, so that a literal names only those it sets.
struct Fetched {
  bool ok = false;
  bool cancelled = false;  // the user stopped it
  std::string error{};     // a short reason when !ok
  std::string body{};
  int status = 0;      // the HTTP status, when the server answered
  std::string etag{};  // the ETag header as sent, when there was one
};

class Network {
 public:
  virtual ~Network() = default;

  // GET of `url` into memory, at most `maxBytes`, asking for a fresh copy. With an `activity`,
  // the user sees how far it got under that title and may cancel it; without, it is quick and
  // nothing is shown.
  virtual Fetched Fetch(std::string_view url, std::int64_t maxBytes, std::string_view activity) = 0;
  // SHA-256 of `bytes`, in lower-case hexadecimal.
  virtual std::string Sha256Hex(std::string_view bytes) = 0;
};

}  // namespace vettrix
