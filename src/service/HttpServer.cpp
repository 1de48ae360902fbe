// Boost 1.74's headers use std::exchange without including <utility> under C++20.
#include <utility>

#include "service/HttpServer.h"

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "service/Http.h"
#include "service/Log.h"
#include "service/Service.h"

namespace vettrix::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kIdleBufferBytes = 64 << 10;

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

class Session;

class Server {
 public:
  Server(const ServerOptions& options, Service& service)
      : options_(options),
        service_(service),
        io_(options.threads),
        acceptor_(asio::make_strand(io_)),
        signals_(io_, SIGINT, SIGTERM) {}

  void Run();
  void Forget(Session* session) {
    std::lock_guard lock(mutex_);
    sessions_.erase(session);
    --open_;
  }

  const ServerOptions& options() const { return options_; }
  Service& service() { return service_; }
  bool Stopping() const { return stopping_; }

 private:
  void Accept();
  void Stop();

  const ServerOptions& options_;
  Service& service_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer retry_{acceptor_.get_executor()};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions_;
  std::size_t open_ = 0;  // guarded by mutex_
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, Server& server, std::string peer)
      : stream_(std::move(socket)), server_(server), peer_(std::move(peer)) {}
  ~Session() { server_.Forget(this); }

  void Start() {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadRequest(); });
  }

  // Ends a connection that waits for its next request; one in the middle of a request finishes
  // it first.
  void StopIfIdle() {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      if (self->idle_) self->stream_.cancel();
    });
  }

 private:
  void ReadRequest() {
    if (server_.Stopping()) return Close();
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    // The route's own limit is known once the header is; until then, the largest of any.
    parser_->body_limit(kApiBodyLimit);
    if (buffer_.size() > 0) return ReadHeader();  // pipelined, already here
    // Waiting for the next request costs nothing but a socket; a request, once begun, has its
    // deadline.
    idle_ = true;
    stream_.expires_after(server_.options().idleTimeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->idle_ = false;
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    started_ = Clock::now();
    stream_.expires_after(server_.options().requestTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec == http::error::body_limit)
      return Refuse(http::status::payload_too_large, "The request's body is too large.");
    if (ec == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large,
                    "The request's headers are too large.");
    if (ec == beast::error::timeout || ec == http::error::end_of_stream ||
        ec == asio::error::operation_aborted || ec == asio::error::eof ||
        ec == asio::error::connection_reset)
      return Close();
    if (ec) return Refuse(http::status::bad_request, "The request is malformed.");
    const auto& head = parser_->get();
    const std::string_view target = View(head.target());
    const std::size_t limit = Service::BodyLimit(View(head.method_string()), PathOf(target));
    const auto length = parser_->content_length();
    if ((length && *length > limit) || (!length && parser_->chunked() && limit == 0))
      return Refuse(http::status::payload_too_large, "The request's body is too large.");
    parser_->body_limit(limit);
    if (parser_->is_done()) return OnRequest();
    if (beast::iequals(head[http::field::expect], "100-continue")) {
      auto proceed = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                        head.version());
      return http::async_write(
          stream_, *proceed,
          [self = shared_from_this(), proceed](beast::error_code e, std::size_t) {
            if (e) return self->Close();
            self->ReadBody();
          });
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(
        stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
          if (ec == http::error::body_limit)
            return self->Refuse(http::status::payload_too_large,
                                "The request's body is too large.");
          if (ec == beast::error::timeout || ec == asio::error::operation_aborted ||
              ec == http::error::partial_message || ec == asio::error::eof)
            return self->Close();
          if (ec) return self->Refuse(http::status::bad_request, "The request is malformed.");
          self->OnRequest();
        });
  }

  void OnRequest() {
    const auto& head = parser_->get();
    Request request;
    request.method = View(head.method_string());
    request.target = View(head.target());
    request.body = head.body();
    request.contentType = View(head[http::field::content_type]);
    request.ifNoneMatch = View(head[http::field::if_none_match]);
    request.client =
        ClientAddress(peer_, View(head["X-Forwarded-For"]), server_.options().trustedProxies);
    request.now = static_cast<std::int64_t>(std::time(nullptr));
    Response response = server_.service().Handle(request);
    Send(std::move(response), head.keep_alive() && !server_.Stopping(), head.version());
  }

  // An answer of the edge's own: the request could not be read, so the connection ends. Under
  // /api/ it is JSON like every answer there, when the target is known: parsed with the request
  // line, or still in the buffer when the header grew too large to parse.
  void Refuse(http::status status, std::string_view message) {
    std::string_view target;
    if (parser_) target = View(parser_->get().target());
    if (target.empty()) {
      const auto* data = static_cast<const char*>(buffer_.data().data());
      const std::string_view line(data, std::min(buffer_.size(), kHeaderLimit));
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos)
        target = line.substr(space + 1, line.find_first_of(" \r\n", space + 1) - space - 1);
    }
    Send(Service::Refusal(static_cast<int>(status), message, target), false, 11);
  }

  void Send(Response response, bool keepAlive, unsigned version) {
    response_ = std::move(response);
    message_.emplace(static_cast<http::status>(response_.status), version);
    auto& message = *message_;
    message.set(http::field::date, DateNow());
    if (!response_.contentType.empty())
      message.set(http::field::content_type, response_.contentType);
    bool cacheControl = false;
    for (const auto& [name, value] : response_.headers) {
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
    const std::string_view body = response_.Body();
    if (response_.status != 304 && response_.status != 204) message.content_length(body.size());
    if (!response_.headersOnly)
      message.body() = http::span_body<const char>::value_type(body.data(), body.size());
    stream_.expires_after(server_.options().writeTimeout);
    http::async_write(stream_, message,
                      [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
                        self->OnWritten(ec, bytes);
                      });
  }

  void OnWritten(beast::error_code ec, std::size_t bytes) {
    const bool close = ec || !message_->keep_alive();
    LogRequest(bytes);
    response_ = {};
    message_.reset();
    // A large body grew the buffer; a connection kept alive does not keep that much.
    if (buffer_.capacity() > kIdleBufferBytes && buffer_.size() == 0) buffer_.shrink_to_fit();
    if (close) return Close();
    ReadRequest();
  }

  // One line per request, without the query: what people look up is theirs alone.
  void LogRequest(std::size_t bytes) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_).count();
    std::string line;
    if (parser_->is_header_done()) {
      const auto& head = parser_->get();
      line = std::string(View(head.method_string())) + " " +
             std::string(Service::LoggedPath(PathOf(View(head.target()))));
    } else {
      line = "-";
    }
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
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Response response_;
  std::optional<http::response<http::span_body<const char>>> message_;
  Clock::time_point started_ = Clock::now();
  bool idle_ = false;  // waiting for a request to begin

  friend class Server;
};

void Server::Run() {
  const auto address = asio::ip::make_address(options_.address);
  const tcp::endpoint endpoint(address, options_.port);
  beast::error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("cannot listen on " + options_.address + ":" +
                             std::to_string(options_.port) + ": " + ec.message());
  const tcp::endpoint bound = acceptor_.local_endpoint();
  Log("listening on " + bound.address().to_string() + ":" + std::to_string(bound.port()));

  signals_.async_wait([this](beast::error_code e, int) {
    if (!e) Stop();
  });
  Accept();
  std::vector<std::thread> threads;
  for (int i = 1; i < options_.threads; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& t : threads) t.join();
}

void Server::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (stopping_ || ec == asio::error::operation_aborted) return;
      // Out of descriptors, most likely: try again shortly rather than spin.
      Log("accept: " + ec.message());
      retry_.expires_after(std::chrono::milliseconds(100));
      retry_.async_wait([this](beast::error_code e) {
        if (!e) Accept();
      });
      return;
    }
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const auto remote = socket.remote_endpoint(ignored);
    bool admitted = false;
    {
      std::lock_guard lock(mutex_);
      admitted = open_ < options_.maxConnections;
      if (admitted) ++open_;
    }
    if (admitted) {
      auto session =
          std::make_shared<Session>(std::move(socket), *this, remote.address().to_string());
      {
        std::lock_guard lock(mutex_);
        sessions_.emplace(session.get(), session);
      }
      session->Start();
    } else {
      // Full: say so at once rather than leave the client waiting. Nothing of the request is
      // read, so the answer is the API's, which a page can show as well.
      static constexpr std::string_view kBusy =
          R"({"error":"the service holds as many connections as it takes","code":"busy"})";
      const std::string busy =
          "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nConnection: close\r\n"
          "Content-Type: application/json\r\nContent-Length: " +
          std::to_string(kBusy.size()) + "\r\n\r\n" + std::string(kBusy);
      socket.non_blocking(true, ignored);
      socket.write_some(asio::buffer(busy.data(), busy.size()), ignored);
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(ignored);
    }
    Accept();
  });
}

void Server::Stop() {
  Log("stopping: no new connections; finishing the requests in flight");
  stopping_ = true;
  asio::post(acceptor_.get_executor(), [this] {
    beast::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  });
  std::vector<std::shared_ptr<Session>> open;
  {
    std::lock_guard lock(mutex_);
    for (auto& [raw, weak] : sessions_)
      if (auto session = weak.lock()) open.push_back(std::move(session));
  }
  // Outside the lock: the last reference may go here, and a session that goes forgets itself.
  for (const auto& session : open) session->StopIfIdle();
}

}  // namespace

void Serve(const ServerOptions& options, Service& service) {
  Server server(options, service);
  server.Run();
  Log("stopped");
}

}  // namespace vettrix::service
