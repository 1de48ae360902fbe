#pragma once

// The service's HTTP edge (Boost.Beast): turns bytes into a Request, the service's Response back
// into bytes, and holds every limit a client on the network may test: sizes, deadlines, the
// number of connections and of the requests that wait for the store.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/Http.h"
#include "service/Metrics.h"

namespace vettrix::service {

// Headers every answer carries: the pages run no script and take no style but their own, are
// never framed, and give no one a referrer; nothing is sniffed into another type.
inline constexpr std::pair<std::string_view, std::string_view> kCommonHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};
// Unless an answer says otherwise: a client asks again before it uses a copy it kept.
inline constexpr std::string_view kDefaultCacheControl = "no-cache";

// Every byte of a request's head, however it arrives: the request line and the headers. A
// chunked body's framing (a chunk's size line, its extensions, the trailers) counts against it
// too, line by line.
inline constexpr std::size_t kHeaderLimit = 16 << 10;

struct ServerOptions {
  int threads = 2;
  // Kept below what the process may open (its descriptor limit, raised at start to the most it
  // may have), less what the store and the files need.
  std::size_t maxConnections = 1024;
  std::chrono::milliseconds idleTimeout{15'000};     // a kept-alive connection with no request
  std::chrono::milliseconds requestTimeout{10'000};  // from a request's first byte to its last
  std::chrono::milliseconds writeTimeout{60'000};    // for an answer to be taken
  // After SIGTERM: the requests in flight may finish within it; then every connection ends.
  std::chrono::milliseconds drainTimeout{20'000};
  // The requests that touch the store are answered by threads of their own, never by those that
  // serve; so many may wait for them, each at most `storeTimeout` before it is answered 503.
  int storeThreads = 2;
  std::size_t storeQueue = 64;
  std::chrono::milliseconds storeTimeout{5'000};
  std::vector<AddressRange> trustedProxies;  // whose X-Forwarded-For counts
};

// A socket bound and listening, closed when it goes.
class Listener {
 public:
  Listener(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  Listener(Listener&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)) {}
  Listener& operator=(Listener&&) = delete;
  Listener(const Listener&) = delete;
  ~Listener();

  // Its descriptor, from now on the caller's.
  int Release() { return std::exchange(fd_, -1); }
  const std::string& name() const { return name_; }  // "127.0.0.1:8080", "[::1]:8080"

 private:
  int fd_;
  std::string name_;
};

// HOST:PORT, HOST a name, an IPv4 address or an IPv6 one in brackets ([::1]:8080); nothing when
// `text` is not of that form.
std::optional<std::pair<std::string, unsigned short>> SplitHostPort(std::string_view text);

// Resolves `host` once and listens on each of its addresses at `port` (port 0: the one the first
// was given). An address the machine does not have (an IPv6 one where IPv6 is off) is passed
// over when another serves. Throws std::runtime_error that names HOST:PORT and why.
std::vector<Listener> Listen(const std::string& host, unsigned short port);

// What the edge answers of its own: health checks on every listener, and the metrics.
struct Monitoring {
  Metrics* metrics = nullptr;  // null: none kept, and /metrics is not served
  bool metricsOnMain = false;  // /metrics on the service's listeners too
  // Listeners of their own for /metrics, /healthz and /readyz, and nothing else.
  std::vector<Listener> listeners;
  // Whether the instance should get requests now, or why not. Called on a serving thread: it
  // may not wait.
  std::function<Result<void>()> ready;
  // The metrics' text, given the connections open.
  std::function<std::string(std::size_t connections)> metricsText;
};

// Serves on `listeners` until SIGTERM or SIGINT; then it takes no new connection, lets the
// requests in flight finish within the drain deadline, closes idle connections and returns.
// Logs "listening on ADDRESS:PORT" for each listener once it accepts.
void Serve(const ServerOptions& options, Site& site, std::vector<Listener> listeners,
           Monitoring monitoring);

// A connection's requests read from bytes in memory, as a connection of the server reads them
// from its socket: the same limits, framing and checks, the same refusals, the same answers'
// headers. For the fuzzer, which has no socket.
struct ConverseOptions {
  std::size_t piece = 4096;  // bytes a read gives at most
  std::size_t most = 8;      // requests read at most
  std::string peer = "127.0.0.1";
  std::vector<AddressRange> trustedProxies;
  std::int64_t now = 0;
};
using Answerer = std::function<Response(const Request&)>;
// Told of every answer written: the target it answers (empty when it could not be read), the
// answer, and its bytes as written.
using Observer = std::function<void(std::string_view target, const Response& response,
                                    std::string_view written)>;
// Reads requests from `bytes` (then the client's side ends) by the limits of `site`, answers each
// with `answer` where the server asks the site (and its own refusals where it gives them), and
// stops where the server would close the connection.
void Converse(std::string_view bytes, const ConverseOptions& options, const Site& site,
              const Answerer& answer, const Observer& sent);

}  // namespace vettrix::service
