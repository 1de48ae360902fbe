#pragma once

// The service's view of HTTP: a request and a response as plain values, so that the handlers are
// functions from one to the other, tested without a socket. The HTTP library stays at the edge.

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vettrix::service {

struct Request {
  std::string_view method;  // "GET", "HEAD", "POST", ...
  std::string_view target;  // path and query, as sent
  std::string_view body;
  std::string_view contentType;
  std::string_view ifNoneMatch;
  std::string client;    // the client's address, as the rate limit counts it
  std::int64_t now = 0;  // seconds since 1970, UTC
};

struct Response {
  int status = 200;
  std::string contentType;
  // Besides those every answer carries (the edge adds them).
  std::vector<std::pair<std::string_view, std::string>> headers;
  std::string body;
  // A body that published data holds (the database itself), so that it is not copied per
  // request; `keepAlive` holds its owner until the answer is sent.
  std::string_view sharedBody;
  std::shared_ptr<const void> keepAlive;
  // A HEAD request's answer: the headers of the GET answer, Content-Length included, no body.
  bool headersOnly = false;

  std::string_view Body() const {
    // The snapshot a shared body lies in outlives the answer.
    assert(sharedBody.empty() || keepAlive != nullptr);
    return keepAlive ? sharedBody : std::string_view(body);
  }
};

// What the HTTP edge asks of the site behind it: its answers, and what it must know of a request
// before the site sees it.
class Site {
 public:
  virtual ~Site() = default;
  // The answer to `request`; may throw, which the edge answers with Refusal(500, ...).
  virtual Response Handle(const Request& request) = 0;
  // The most a request to `path` with `method` may carry in its body, and the most of any.
  virtual std::size_t BodyLimit(std::string_view method, std::string_view path) const = 0;
  virtual std::size_t LargestBody() const = 0;
  // The routes as the log and the metrics name them, the last any other path; and the route of
  // `path`, an index into them. A text looked up is no one's business.
  virtual std::span<const std::string_view> Routes() const = 0;
  virtual std::size_t RouteOf(std::string_view path) const = 0;
  // The path as a log line shows it.
  std::string_view LoggedPath(std::string_view path) const { return Routes()[RouteOf(path)]; }
  // Whether the answer to a request touches the store, which may stall: such requests are
  // answered off the serving threads.
  virtual bool TouchesStore(std::string_view method, std::string_view path) const = 0;
  // Every answer the edge gives of its own (a request too large or malformed, the service busy,
  // a handler that failed). `target` is the request's when it is known.
  virtual Response Refusal(int status, std::string_view message, std::string_view target) const = 0;
};

// Decodes %XX sequences (and "+" as a space in forms); nothing when a "%" is not followed by two
// hexadecimal digits.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

using Fields = std::vector<std::pair<std::string, std::string>>;
// The name=value pairs of a query or an application/x-www-form-urlencoded body, decoded; nothing
// when any of them is badly encoded.
std::optional<Fields> ParseFields(std::string_view text);

// The target as a path and a query: an absolute-form target (http://host/path?query), which a
// client may send, is served as its path and query.
std::string_view OriginForm(std::string_view target);

// The path of a target, without its query; and the query alone.
std::string_view PathOf(std::string_view target);
std::string_view QueryOf(std::string_view target);

// A time as HTTP dates it ("Sun, 06 Nov 1994 08:49:37 GMT") and as RFC 3339 does, both UTC.
std::string HttpDate(std::int64_t seconds);
std::string Rfc3339(std::int64_t seconds);

// An address, or a range of them in CIDR notation (10.0.0.0/8, 2001:db8::/32). An IPv4 address
// is kept as IPv6 maps it (::ffff:a.b.c.d), so that a dual-stack listener's peers match it too.
struct AddressRange {
  std::array<unsigned char, 16> bytes{};
  int prefix = 128;  // leading bits that count
  bool Contains(const std::array<unsigned char, 16>& address) const;
};
// Nothing when `text` is neither.
std::optional<AddressRange> ParseAddressRange(std::string_view text);

// The client a request comes from, as the hourly limit counts it: `peer`, unless `peer` is in
// one of `trustedProxies`; then the last address of X-Forwarded-For that is not. An IPv4 client
// (also one mapped into IPv6) counts by its address, an IPv6 client by its /64 network, which one
// subscriber may fill: "2001:db8:1:2::/64".
std::string ClientAddress(std::string_view peer, std::string_view forwardedFor,
                          const std::vector<AddressRange>& trustedProxies);

}  // namespace vettrix::service
