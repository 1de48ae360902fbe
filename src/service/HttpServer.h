#pragma once

// The service's HTTP edge (Boost.Beast): turns bytes into a Request, the service's Response back
// into bytes, and holds every limit a client on the network may test: sizes, deadlines and the
// number of connections.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vettrix::service {

class Service;

inline constexpr std::size_t kHeaderLimit = 16 << 10;  // request line and headers

struct ServerOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;
  int threads = 2;
  std::size_t maxConnections = 1024;
  std::chrono::milliseconds idleTimeout{15'000};     // a kept-alive connection with no request
  std::chrono::milliseconds requestTimeout{10'000};  // from a request's first byte to its last
  std::chrono::milliseconds writeTimeout{60'000};    // for an answer to be taken
  std::vector<std::string> trustedProxies;           // whose X-Forwarded-For counts
};

// Serves until SIGTERM or SIGINT; then it takes no new connection, lets the requests in flight
// finish, closes idle connections and returns. Logs "listening on ADDRESS:PORT" once it listens.
// Throws std::runtime_error when it cannot listen.
void Serve(const ServerOptions& options, Service& service);

}  // namespace vettrix::service
