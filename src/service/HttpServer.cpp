// Boost 1.74's headers use std::exchange without including <utility> under C++20.
#include <utility>

#include "service/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cxxabi.h>
#include <atomic>
#include <cassert>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <thread>
#include <typeinfo>
#include <unordered_map>
#include <vector>

#include "service/Http.h"
#include "service/Log.h"

namespace vettrix::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kIdleBufferBytes = 64 << 10;
// What one read may hold beyond the head: a body passes through it, so it bounds every line of
// a request (its head, a chunk's size line, its trailers) at the head's limit.
constexpr std::size_t kReadBufferLimit = kHeaderLimit + (4 << 10);
// Header (and trailer) fields a request may have: each costs memory beyond its bytes. A hundred,
// as Apache allows by default: far more than browsers and proxies send.
constexpr std::size_t kFieldLimit = 100;
// A condition that recurs (out of descriptors) is told once a minute at most.
constexpr auto kLogInterval = std::chrono::seconds(60);

std::string_view View(beast::string_view text) {
  return {text.data(), text.size()};
}

// The Date header, formatted once a second per thread.
const std::string& DateNow() {
  thread_local std::time_t second = 0;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != second) {
    second = now;
    text = HttpDate(now);
  }
  return text;
}

// The method as a log line may show it: a client may send anything there, an IMEI too.
std::string_view LoggedMethod(std::string_view method) {
  static constexpr std::string_view kKnown[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                "OPTIONS", "CONNECT", "TRACE", "PATCH"};
  for (const std::string_view known : kKnown)
    if (method == known) return known;
  return "OTHER";
}

// The name of an exception's type: what it says may quote the request.
std::string TypeName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string text = status == 0 && name != nullptr ? name : type.name();
  std::free(name);  // NOLINT: the demangler's own allocation
  return text;
}

// An answer as it goes out: its own headers, those every answer carries, and its body, which is
// not copied: `response` must outlive it.
http::response<http::span_body<const char>> Message(const Response& response, bool keepAlive,
                                                    unsigned version) {
  http::response<http::span_body<const char>> message(static_cast<http::status>(response.status),
                                                      version);
  message.set(http::field::date, DateNow());
  if (!response.contentType.empty()) message.set(http::field::content_type, response.contentType);
  bool cacheControl = false;
  for (const auto& [name, value] : response.headers) {
    message.set(beast::string_view(name.data(), name.size()), value);
    cacheControl = cacheControl || name == "Cache-Control";
  }
  for (const auto& [name, value] : kCommonHeaders)
    message.set(beast::string_view(name.data(), name.size()),
                beast::string_view(value.data(), value.size()));
  if (!cacheControl)
    message.set(http::field::cache_control,
                beast::string_view(kDefaultCacheControl.data(), kDefaultCacheControl.size()));
  message.keep_alive(keepAlive);
  const std::string_view body = response.Body();
  if (response.status != 304 && response.status != 204) message.content_length(body.size());
  if (!response.headersOnly)
    message.body() = http::span_body<const char>::value_type(body.data(), body.size());
  return message;
}

Response Busy(const Site& site, std::string_view target, std::string_view message) {
  Response response = site.Refusal(503, message, target);
  response.headers.emplace_back("Retry-After", "1");
  return response;
}

// Tells a recurring condition once, then, an interval later at the soonest, how often it recurred.
class RareLog {
 public:
  void operator()(const std::string& line) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (now < next_) {
      ++unsaid_;
      return;
    }
    Log(unsaid_ == 0
            ? line
            : line + " (and " + std::to_string(unsaid_) + " times since it was last said)");
    unsaid_ = 0;
    next_ = now + kLogInterval;
  }

 private:
  std::mutex mutex_;
  Clock::time_point next_{};
  std::size_t unsaid_ = 0;
};

// Threads of their own for the answers that touch the store, which may stall: the serving threads
// never wait for it. A job runs with `true`, or with `false` when it was refused a thread (at a
// stop, or after waiting longer than it may).
class StoreWorkers {
 public:
  using Job = std::function<void(bool run)>;

  StoreWorkers(int threads, std::size_t capacity, Clock::duration patience)
      : capacity_(capacity), patience_(patience) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~StoreWorkers() {
    Stop();
    for (std::thread& t : threads_) t.join();
  }

  // False when full or stopped: then the job was not taken.
  bool TryPost(Job job) {
    std::lock_guard lock(mutex_);
    if (stopping_ || jobs_.size() >= capacity_) return false;
    jobs_.push_back({std::move(job), Clock::now()});
    ready_.notify_one();
    return true;
  }

  // Takes no more (the instance is going); those waiting are told so at once, those running
  // finish.
  void Stop() {
    std::deque<Queued> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(jobs_);
    }
    ready_.notify_all();
    for (Queued& queued : dropped) queued.job(false);
  }

 private:
  struct Queued {
    Job job;
    Clock::time_point since;
  };

  void Work() {
    for (;;) {
      std::deque<Queued> late;
      std::optional<Queued> next;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        // Those that waited too long are told so together, not one store operation apart.
        const auto now = Clock::now();
        while (!jobs_.empty() && now - jobs_.front().since >= patience_) {
          late.push_back(std::move(jobs_.front()));
          jobs_.pop_front();
        }
        if (!jobs_.empty()) {
          next = std::move(jobs_.front());
          jobs_.pop_front();
        }
      }
      for (Queued& queued : late) queued.job(false);
      if (next) next->job(true);
    }
  }

  const std::size_t capacity_;
  const Clock::duration patience_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Queued> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The request parser, which holds the head to its limits before it keeps a field: at most
// kFieldLimit fields and kHeaderLimit bytes of them, however the bytes arrive.
class RequestParser final : public http::request_parser<http::string_body> {
 public:
  explicit RequestParser(std::size_t largestBody) {
    header_limit(kHeaderLimit);
    // The route's own limit is known once the header is; until then, the largest of any.
    body_limit(largestBody);
  }

 private:
  void on_field_impl(http::field name, beast::string_view text, beast::string_view value,
                     beast::error_code& ec) override {
    bytes_ += text.size() + value.size() + 4;  // name: value CR LF
    if (++fields_ > kFieldLimit || bytes_ > kHeaderLimit) {
      ec = http::error::header_limit;
      return;
    }
    get().insert(name, text, value);
  }

  std::size_t fields_ = 0, bytes_ = 0;
};

// Whether `ec` ends a read without an answer: the client went or took too long.
bool Gone(const beast::error_code& ec) {
  return ec == beast::error::timeout || ec == http::error::end_of_stream ||
         ec == http::error::partial_message || ec == asio::error::operation_aborted ||
         ec == asio::error::eof || ec == asio::error::connection_reset;
}

// The reading of one connection's requests, whatever carries the bytes (a socket, or memory in
// Converse): the buffer, the parser and every decision on what was read. The caller reads as
// each step says and answers.
class Reading {
 public:
  // What to do after a read.
  enum class Next { ReadBody, Continue, Answer, Refuse, Close };

  explicit Reading(const Site& site) : site_(site) {}

  beast::flat_buffer buffer{kReadBufferLimit};
  std::optional<RequestParser> parser;

  // A new request begins.
  void Begin() {
    parser.emplace(site_.LargestBody());
    target_ = {};
  }

  Next AfterHeader(const beast::error_code& ec) {
    if (ec == http::error::header_limit ||
        (ec == http::error::buffer_overflow && !parser->is_header_done()))
      return Refuse(http::status::request_header_fields_too_large,
                    "The request's headers are too large.");
    if (ec == http::error::body_limit) return TooLarge();
    if (Gone(ec)) return Next::Close;
    if (ec) return Refuse(http::status::bad_request, "The request is malformed.");
    const auto& head = parser->get();
    target_ = OriginForm(View(head.target()));
    // HTTP/1.1 names the host once, always; HTTP/1.0 may leave it out.
    const std::size_t hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && head.version() >= 11))
      return Refuse(http::status::bad_request, "The request must name its host once.");
    const std::size_t limit = site_.BodyLimit(View(head.method_string()), PathOf(target_));
    const auto length = parser->content_length();
    if ((length && *length > limit) || (!length && parser->chunked() && limit == 0))
      return TooLarge();
    parser->body_limit(limit);
    if (parser->is_done()) return Next::Answer;
    if (beast::iequals(head[http::field::expect], "100-continue")) return Next::Continue;
    return Next::ReadBody;
  }

  Next AfterBody(const beast::error_code& ec) {
    // A chunk's size line or the trailers longer than a head may be.
    if (ec == http::error::body_limit || ec == http::error::buffer_overflow ||
        ec == http::error::header_limit)
      return TooLarge();
    if (Gone(ec)) return Next::Close;
    if (ec) return Refuse(http::status::bad_request, "The request is malformed.");
    return Next::Answer;
  }

  // The request read whole, for the service; it refers to the parser's bytes.
  Request MakeRequest(std::string_view peer, const std::vector<AddressRange>& trustedProxies,
                      std::int64_t now) const {
    const auto& head = parser->get();
    Request request;
    request.method = View(head.method_string());
    request.target = target_;
    request.body = head.body();
    request.contentType = View(head[http::field::content_type]);
    request.ifNoneMatch = View(head[http::field::if_none_match]);
    request.client = ClientAddress(peer, View(head["X-Forwarded-For"]), trustedProxies);
    request.now = now;
    return request;
  }

  // The edge's own answer after Next::Refuse: the request could not be read (or not whole), so
  // the connection ends. Under /api/ it is JSON like every answer there.
  Response Refusal() const {
    return site_.Refusal(static_cast<int>(refusal_), refusalText_, RefusedTarget());
  }
  // The target a refusal answers: the parsed one, the request line's when the rest of the head
  // could not be parsed, or read off the request line still in the buffer.
  std::string_view RefusedTarget() const {
    std::string_view target = target_;
    if (target.empty() && parser) target = OriginForm(View(parser->get().target()));
    if (target.empty()) {
      const auto* data = static_cast<const char*>(buffer.data().data());
      const std::string_view line(data, std::min(buffer.size(), kHeaderLimit));
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos)
        target = line.substr(space + 1, line.find_first_of(" \r\n", space + 1) - space - 1);
    }
    return target;
  }

  bool KeepAlive() const { return parser->get().keep_alive(); }
  unsigned Version() const { return parser->get().version(); }

  // After an answer was written: a large body grew the buffer; a connection kept alive does not
  // keep that much.
  void Written() {
    if (buffer.capacity() > kIdleBufferBytes && buffer.size() == 0) buffer.shrink_to_fit();
  }

  // The head was read: its method and target are known.
  bool HeadRead() const { return parser && parser->is_header_done(); }
  std::string_view Method() const { return View(parser->get().method_string()); }
  std::string_view Target() const { return target_; }

 private:
  Next Refuse(http::status status, std::string_view text) {
    refusal_ = status;
    refusalText_ = text;
    return Next::Refuse;
  }
  Next TooLarge() {
    return Refuse(http::status::payload_too_large, "The request's body is too large.");
  }

  const Site& site_;
  std::string_view target_;  // the request's, in origin form, once its head is read
  http::status refusal_ = http::status::bad_request;
  std::string_view refusalText_;
};

class Session;

// Where connections come in: a listener of the service's, or one for monitoring alone.
struct Door {
  Door(asio::io_context& io, bool monitoring, std::string name)
      : acceptor(asio::make_strand(io)),
        retry(acceptor.get_executor()),
        monitoring(monitoring),
        name(std::move(name)) {}
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  const bool monitoring;
  const std::string name;
};

class Server {
 public:
  Server(const ServerOptions& options, Site& site, std::vector<Listener> listeners,
         Monitoring monitoring);

  void Run();
  void Forget(Session* session);

  const ServerOptions& options() const { return options_; }
  const Site& site() const { return site_; }
  bool Stopping() const { return stopping_; }
  StoreWorkers& workers() { return workers_; }
  Metrics* metrics() const { return monitoring_.metrics; }

  // The service's answer to `request`; an exception that escapes it is a 500, and the instance
  // goes on.
  Response Answer(const Request& request);
  // The edge's own answer to a request for the health checks or the metrics; nothing when the
  // request is the service's. A monitoring listener answers nothing else.
  std::optional<Response> Monitor(std::string_view method, std::string_view path,
                                  bool monitoringDoor);

 private:
  void Accept(Door& door);
  void OnAcceptFailed(Door& door, const beast::error_code& ec);
  void Turn(tcp::socket& socket, Limit limit, std::string_view why);
  void Stop();
  void Drained();
  std::size_t ConnectionCap();

  const ServerOptions& options_;
  Site& site_;
  Monitoring monitoring_;
  // Sessions forget themselves whenever they go, also while the I/O context goes: these outlive it.
  std::mutex mutex_;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions_;
  std::size_t open_ = 0;  // guarded by mutex_
  bool running_ = true;   // guarded by mutex_: the I/O context still runs
  std::size_t cap_ = 0;
  std::atomic<bool> stopping_{false};
  RareLog acceptTrouble_;
  int reserve_ = -1;  // a descriptor kept to answer 503 when there are none left

  asio::io_context io_;
  std::vector<std::unique_ptr<Door>> doors_;
  asio::strand<asio::io_context::executor_type> control_{io_.get_executor()};
  asio::signal_set signals_;
  asio::steady_timer drain_{control_};
  // Joined before the I/O context goes: a job may still post its answer to it.
  StoreWorkers workers_;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, Server& server, std::string peer, bool monitoringDoor)
      : stream_(std::move(socket)),
        server_(server),
        peer_(std::move(peer)),
        reading_(server.site()),
        monitoringDoor_(monitoringDoor) {}
  ~Session() { server_.Forget(this); }

  void Start() {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadRequest(); });
  }

  // Ends a connection that waits for its next request; one in the middle of a request finishes
  // it first, unless `now`.
  void StopIfIdle(bool now) {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this(), now] {
      if (self->idle_ || now) self->Close();
    });
  }

 private:
  void ReadRequest() {
    if (server_.Stopping()) return Close();
    reading_.Begin();
    if (reading_.buffer.size() > 0) return ReadHeader();  // pipelined, already here
    // Waiting for the next request costs nothing but a socket; a request, once begun, has its
    // deadline.
    idle_ = true;
    stream_.expires_after(server_.options().idleTimeout);
    stream_.async_read_some(reading_.buffer.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->idle_ = false;
                              if (ec) return self->Close();
                              self->reading_.buffer.commit(n);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    started_ = Clock::now();
    stream_.expires_after(server_.options().requestTimeout);
    http::async_read_header(stream_, reading_.buffer, *reading_.parser,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->Go(self->reading_.AfterHeader(ec), ec);
                            });
  }

  void Count(Limit limit) {
    if (Metrics* metrics = server_.metrics()) metrics->Refused(limit);
  }

  void Go(Reading::Next next, const beast::error_code& ec) {
    switch (next) {
      case Reading::Next::ReadBody:
        return ReadBody();
      case Reading::Next::Continue: {
        auto proceed = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                          reading_.Version());
        return http::async_write(
            stream_, *proceed,
            [self = shared_from_this(), proceed](beast::error_code e, std::size_t) {
              if (e) return self->Close();
              self->ReadBody();
            });
      }
      case Reading::Next::Answer:
        return OnRequest();
      case Reading::Next::Refuse:
        return Refuse();
      case Reading::Next::Close:
        // A read that ended without a request: one begun and not whole by its deadline counts.
        if (ec == beast::error::timeout) Count(Limit::RequestTime);
        return Close();
    }
  }

  void ReadBody() {
    http::async_read(stream_, reading_.buffer, *reading_.parser,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       self->Go(self->reading_.AfterBody(ec), ec);
                     });
  }

  void OnRequest() {
    const Request request = reading_.MakeRequest(peer_, server_.options().trustedProxies,
                                                 static_cast<std::int64_t>(std::time(nullptr)));
    if (auto own = server_.Monitor(request.method, PathOf(request.target), monitoringDoor_))
      return Reply(std::move(*own));
    if (!server_.site().TouchesStore(request.method, PathOf(request.target)))
      return Reply(server_.Answer(request));
    // The store may stall; the serving thread goes on with other connections meanwhile.
    const bool taken = server_.workers().TryPost([self = shared_from_this(), request](bool run) {
      Response response = run ? self->server_.Answer(request) : self->StoreBusy(request.target);
      asio::post(self->stream_.get_executor(), [self, response = std::move(response)]() mutable {
        self->Reply(std::move(response));
      });
    });
    if (!taken) Reply(StoreBusy(request.target));
  }

  // The store's queue is full, or the request waited in it longer than it may.
  Response StoreBusy(std::string_view target) {
    Count(Limit::StoreQueue);
    return Busy(server_.site(), target, "The service is busy; please try again.");
  }

  void Reply(Response response) {
    Send(std::move(response), reading_.KeepAlive() && !server_.Stopping(), reading_.Version());
  }

  // Every answer of the edge's own: the request could not be read (or not whole), so the
  // connection ends.
  void Refuse() {
    Response refusal = reading_.Refusal();
    if (refusal.status == 431) Count(Limit::Headers);
    if (refusal.status == 413) Count(Limit::Body);
    Send(std::move(refusal), false, 11);
  }

  void Send(Response response, bool keepAlive, unsigned version) {
    response_ = std::move(response);
    message_.emplace(Message(response_, keepAlive, version));
    stream_.expires_after(server_.options().writeTimeout);
    http::async_write(stream_, *message_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
                        self->OnWritten(ec, bytes);
                      });
  }

  void OnWritten(beast::error_code ec, std::size_t bytes) {
    const bool close = ec || !message_->keep_alive();
    LogRequest(bytes);
    response_ = {};
    message_.reset();
    reading_.Written();
    if (close) return Close();
    ReadRequest();
  }

  // One line per request, without the query: what people look up is theirs alone.
  void LogRequest(std::size_t bytes) {
    const auto took = Clock::now() - started_;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::string line;
    const std::span<const std::string_view> routes = server_.site().Routes();
    std::size_t route = routes.size();  // the head could not be read
    if (reading_.HeadRead()) {
      route = server_.site().RouteOf(PathOf(reading_.Target()));
      // A monitoring listener serves its three addresses alone.
      const std::string_view name = routes[route];
      if (monitoringDoor_ && name != "/metrics" && name != "/healthz" && name != "/readyz")
        route = routes.size() - 1;
      line = std::string(LoggedMethod(reading_.Method())) + " " + std::string(routes[route]);
    } else {
      line = "-";
    }
    if (Metrics* metrics = server_.metrics()) metrics->Answered(route, response_.status, took);
    line += " " + std::to_string(response_.status) + " " + std::to_string(bytes) + " " +
            std::to_string(micros) + "us";
    Log(line);
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  Server& server_;
  std::string peer_;
  Reading reading_;
  Response response_;
  std::optional<http::response<http::span_body<const char>>> message_;
  Clock::time_point started_ = Clock::now();
  bool idle_ = false;  // waiting for a request to begin
  const bool monitoringDoor_;
};

Server::Server(const ServerOptions& options, Site& site, std::vector<Listener> listeners,
               Monitoring monitoring)
    : options_(options),
      site_(site),
      monitoring_(std::move(monitoring)),
      io_(options.threads),
      signals_(io_, SIGINT, SIGTERM),
      workers_(options.storeThreads, options.storeQueue, options.storeTimeout) {
  const auto open = [this](std::vector<Listener>& from, bool monitoringDoor) {
    for (Listener& listener : from) {
      auto door = std::make_unique<Door>(io_, monitoringDoor, listener.name());
      const int fd = listener.Release();
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
      beast::error_code ec;
      door->acceptor.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
      if (ec) {
        ::close(fd);
        throw std::runtime_error("cannot listen on " + listener.name() + ": " + ec.message());
      }
      doors_.push_back(std::move(door));
    }
  };
  open(listeners, false);
  open(monitoring_.listeners, true);
}

void Server::Forget(Session* session) {
  std::lock_guard lock(mutex_);
  assert(open_ > 0 && sessions_.count(session) <= 1);
  sessions_.erase(session);
  --open_;
  if (stopping_ && open_ == 0 && running_) asio::post(drain_.get_executor(), [this] { Drained(); });
}

Response Server::Answer(const Request& request) {
  try {
    return site_.Handle(request);
  } catch (const std::exception& e) {
    Log(std::string(LoggedMethod(request.method)) + " " +
        std::string(site_.LoggedPath(PathOf(request.target))) +
        ": the answer failed: " + TypeName(typeid(e)));
  } catch (...) {
    Log(std::string(LoggedMethod(request.method)) + " " +
        std::string(site_.LoggedPath(PathOf(request.target))) +
        ": the answer failed: an unknown exception");
  }
  return site_.Refusal(500, "The service could not answer this request.", request.target);
}

std::optional<Response> Server::Monitor(std::string_view method, std::string_view path,
                                        bool monitoringDoor) {
  const bool metrics = path == "/metrics" && monitoring_.metrics != nullptr &&
                       (monitoringDoor || monitoring_.metricsOnMain);
  if (path != "/healthz" && path != "/readyz" && !metrics && !monitoringDoor) return std::nullopt;
  Response response;
  response.contentType = "text/plain; charset=utf-8";
  if (path != "/healthz" && path != "/readyz" && !metrics) {
    response.status = 404;
    response.body = "This address serves /metrics, /healthz and /readyz alone.\n";
  } else if (method != "GET" && method != "HEAD") {
    response.status = 405;
    response.headers.emplace_back("Allow", "GET, HEAD");
    response.body = "Method not allowed.\n";
  } else if (path == "/healthz") {
    response.body = "ok\n";  // the serving threads answer
  } else if (path == "/readyz") {
    const Result<void> ready = stopping_           ? Fail("stopping")
                               : monitoring_.ready ? monitoring_.ready()
                                                   : Result<void>();
    response.status = ready ? 200 : 503;
    response.body = ready ? "ready\n" : "not ready: " + ready.error() + "\n";
  } else {
    std::size_t open = 0;
    {
      std::lock_guard lock(mutex_);
      open = open_;
    }
    response.contentType = "text/plain; version=0.0.4; charset=utf-8";
    response.body = monitoring_.metricsText(open);
  }
  response.headersOnly = method == "HEAD";
  return response;
}

// The most connections the process may hold: its descriptor limit, raised to the most it may
// have, less what the store, the published files and the log need.
std::size_t Server::ConnectionCap() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return options_.maxConnections;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return options_.maxConnections;
  const auto files = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t spare = 32 + files / 16;
  const std::size_t cap = files > spare ? files - spare : 1;
  if (cap >= options_.maxConnections) return options_.maxConnections;
  Log("max-connections " + std::to_string(options_.maxConnections) + " lowered to " +
      std::to_string(cap) + ": the process may open " + std::to_string(files) +
      " files (LimitNOFILE)");
  return cap;
}

void Server::Run() {
  cap_ = ConnectionCap();
  reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  for (const auto& door : doors_)
    Log((door->monitoring ? "metrics and health checks on " : "listening on ") + door->name);

  signals_.async_wait([this](beast::error_code e, int) {
    if (!e) Stop();
  });
  for (const auto& door : doors_) Accept(*door);
  // No exception of a handler ends a serving thread, nor the instance.
  const auto serve = [this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        Log("a connection failed: " + TypeName(typeid(e)));
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 1; i < options_.threads; ++i) threads.emplace_back(serve);
  serve();
  for (std::thread& t : threads) t.join();
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  if (reserve_ >= 0) ::close(reserve_);
}

void Server::Accept(Door& door) {
  door.acceptor.async_accept(
      asio::make_strand(io_), [this, &door](beast::error_code ec, tcp::socket socket) {
        if (ec) return OnAcceptFailed(door, ec);
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const auto remote = socket.remote_endpoint(ignored);
        bool admitted = false;
        {
          std::lock_guard lock(mutex_);
          admitted = open_ < cap_;
          if (admitted) ++open_;
        }
        if (admitted) {
          auto session = std::make_shared<Session>(std::move(socket), *this,
                                                   remote.address().to_string(), door.monitoring);
          {
            std::lock_guard lock(mutex_);
            sessions_.emplace(session.get(), session);
          }
          session->Start();
        } else {
          Turn(socket, Limit::Connections, "");
        }
        Accept(door);
      });
}

// Full: says so at once rather than leave the client waiting.
void Server::Turn(tcp::socket& socket, Limit limit, std::string_view why) {
  if (monitoring_.metrics != nullptr) monitoring_.metrics->Refused(limit);
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  const Response busy = Busy(site_, {}, "The service is busy; please try again.");
  auto message = Message(busy, false, 11);  // its body is busy's
  http::write(socket, message, ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
  if (!why.empty()) acceptTrouble_(std::string(why));
}

void Server::OnAcceptFailed(Door& door, const beast::error_code& ec) {
  if (stopping_ || ec == asio::error::operation_aborted) return;
  const bool noDescriptors = ec == asio::error::no_descriptors || ec.value() == ENFILE;
  if (noDescriptors && reserve_ >= 0) {
    // The descriptor kept for this takes the client, who is told to come back.
    ::close(reserve_);
    const int fd = ::accept4(door.acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      tcp::socket socket(io_);
      beast::error_code assigned;
      socket.assign(door.acceptor.local_endpoint().protocol(), fd, assigned);
      if (assigned) ::close(fd);
      if (!assigned) Turn(socket, Limit::Descriptors, "accept: " + ec.message() + "; answered 503");
    }
    reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return Accept(door);
  }
  acceptTrouble_("accept: " + ec.message());
  // Try again shortly rather than spin.
  door.retry.expires_after(std::chrono::milliseconds(100));
  door.retry.async_wait([this, &door](beast::error_code e) {
    if (!e) Accept(door);
  });
}

void Server::Stop() {
  Log("stopping: no new connections; finishing the requests in flight");
  stopping_ = true;
  for (const auto& door : doors_) {
    asio::post(door->acceptor.get_executor(), [door = door.get()] {
      beast::error_code ignored;
      door->acceptor.close(ignored);
      door->retry.cancel();
    });
  }
  asio::post(control_, [this] {
    // What has not finished by the deadline ends there.
    drain_.expires_after(options_.drainTimeout);
    drain_.async_wait([this](beast::error_code e) {
      if (e) return;
      Log("stopping: the drain deadline has passed; closing every connection");
      std::vector<std::shared_ptr<Session>> open;
      {
        std::lock_guard lock(mutex_);
        for (auto& [raw, weak] : sessions_)
          if (auto session = weak.lock()) open.push_back(std::move(session));
      }
      for (const auto& session : open) session->StopIfIdle(true);
    });
    std::lock_guard lock(mutex_);
    if (open_ == 0) drain_.cancel();
  });
  std::vector<std::shared_ptr<Session>> open;
  {
    std::lock_guard lock(mutex_);
    for (auto& [raw, weak] : sessions_)
      if (auto session = weak.lock()) open.push_back(std::move(session));
  }
  // Outside the lock: the last reference may go here, and a session that goes forgets itself.
  for (const auto& session : open) session->StopIfIdle(false);
}

void Server::Drained() {
  drain_.cancel();
}

// An address as a listener's name: "127.0.0.1:8080", "[::1]:8080".
std::string AddressName(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(in4.sin_port));
}

void SetPort(sockaddr_storage& address, unsigned short port) {
  if (address.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
}

unsigned short PortOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

Listener::~Listener() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::pair<std::string, unsigned short>> SplitHostPort(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address without its brackets: where would its port begin?
  }
  const std::string_view port = text.substr(colon + 1);
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || number > 65535)
    return std::nullopt;
  return std::pair{std::string(host), static_cast<unsigned short>(number)};
}

std::vector<Listener> Listen(const std::string& host, unsigned short port) {
  const std::string asked =
      (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0)
    throw std::runtime_error("cannot listen on " + asked + ": " + host +
                             " is neither an address nor a name this machine resolves (" +
                             ::gai_strerror(resolved) +
                             "); give ADDRESS:PORT, such as 127.0.0.1:8080, [::1]:8080 or "
                             "localhost:8080");
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
  std::vector<sockaddr_storage> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    sockaddr_storage address{};
    std::memcpy(&address, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof address));
    const bool seen = std::any_of(addresses.begin(), addresses.end(), [&](const auto& other) {
      return AddressName(other) == AddressName(address);
    });
    if (!seen) addresses.push_back(address);
  }
  std::vector<Listener> listeners;
  std::string passedOver;
  for (sockaddr_storage& address : addresses) {
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int kept = errno;
    Listener listener(fd, AddressName(address));
    const auto named = [&] {
      return listener.name() == asked ? asked : asked + " (" + listener.name() + ")";
    };
    int error = fd < 0 ? kept : 0;
    if (error == 0) {
      const int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      // A name of several addresses: each IPv6 one for itself (a wildcard takes IPv4 too).
      if (address.ss_family == AF_INET6 && addresses.size() > 1)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      const socklen_t length =
          address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
          ::listen(fd, SOMAXCONN) != 0)
        error = errno;
    }
    if (error == EADDRNOTAVAIL || error == EAFNOSUPPORT) {
      passedOver += (passedOver.empty() ? "" : "; ") + named() + ": " + std::strerror(error);
      continue;
    }
    if (error != 0)
      throw std::runtime_error("cannot listen on " + named() + ": " + std::strerror(error));
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    // Port 0 takes any free port: the first address's, then the same for the others.
    if (port == 0 && listeners.empty())
      for (sockaddr_storage& other : addresses) SetPort(other, PortOf(bound));
    listeners.emplace_back(listener.Release(), AddressName(bound));
  }
  if (listeners.empty()) throw std::runtime_error("cannot listen on " + passedOver);
  if (!passedOver.empty()) Log("not listening on " + passedOver);
  return listeners;
}

namespace {

// A connection's bytes in memory: what the client sent, at most `piece` bytes a read, then the
// end of its side; and what the server writes back.
class MemoryStream {
 public:
  MemoryStream(std::string_view input, std::size_t piece)
      : input_(input), piece_(std::max<std::size_t>(piece, 1)) {}

  template <typename Buffers>
  std::size_t read_some(const Buffers& buffers, beast::error_code& ec) {
    ec = {};
    if (input_.empty()) {
      ec = asio::error::eof;
      return 0;
    }
    const std::size_t n =
        asio::buffer_copy(buffers, asio::buffer(input_.data(), std::min(input_.size(), piece_)));
    input_.remove_prefix(n);
    return n;
  }
  template <typename Buffers>
  std::size_t read_some(const Buffers& buffers) {
    beast::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw beast::system_error(ec);
    return n;
  }
  template <typename Buffers>
  std::size_t write_some(const Buffers& buffers, beast::error_code& ec) {
    ec = {};
    std::size_t n = 0;
    for (const auto piece : beast::buffers_range_ref(buffers)) {
      output.append(static_cast<const char*>(piece.data()), piece.size());
      n += piece.size();
    }
    return n;
  }
  template <typename Buffers>
  std::size_t write_some(const Buffers& buffers) {
    beast::error_code ec;
    return write_some(buffers, ec);
  }

  std::string output;

 private:
  std::string_view input_;
  std::size_t piece_;
};

}  // namespace

void Converse(std::string_view bytes, const ConverseOptions& options, const Site& site,
              const Answerer& answer, const Observer& sent) {
  MemoryStream stream(bytes, options.piece);
  Reading reading(site);
  const auto send = [&](std::string_view target, const Response& response, bool keepAlive,
                        unsigned version) {
    stream.output.clear();
    auto message = Message(response, keepAlive, version);
    beast::error_code ignored;
    http::write(stream, message, ignored);
    sent(target, response, stream.output);
    reading.Written();
    return keepAlive;
  };
  for (std::size_t n = 0; n < options.most; ++n) {
    reading.Begin();
    beast::error_code ec;
    if (reading.buffer.size() == 0) {
      const std::size_t got = stream.read_some(reading.buffer.prepare(4096), ec);
      if (ec) return;
      reading.buffer.commit(got);
    }
    http::read_header(stream, reading.buffer, *reading.parser, ec);
    Reading::Next next = reading.AfterHeader(ec);
    if (next == Reading::Next::Continue) {
      http::response<http::empty_body> proceed(http::status::continue_, reading.Version());
      stream.output.clear();
      http::write(stream, proceed, ec);
      next = Reading::Next::ReadBody;
    }
    if (next == Reading::Next::ReadBody) {
      http::read(stream, reading.buffer, *reading.parser, ec);
      next = reading.AfterBody(ec);
    }
    if (next == Reading::Next::Close) return;
    if (next == Reading::Next::Refuse) {
      send(reading.RefusedTarget(), reading.Refusal(), false, 11);
      return;
    }
    const Request request = reading.MakeRequest(options.peer, options.trustedProxies, options.now);
    if (!send(request.target, answer(request), reading.KeepAlive(), reading.Version())) return;
  }
}

void Serve(const ServerOptions& options, Site& site, std::vector<Listener> listeners,
           Monitoring monitoring) {
  Server server(options, site, std::move(listeners), std::move(monitoring));
  server.Run();
  Log("stopped");
}

}  // namespace vettrix::service
