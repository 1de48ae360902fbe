#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the download and update tests, with the ways a real
// server misbehaves: silence, a closed connection, an error status, an endless body.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace vettrix::test {

// What the test server does with a request for one path.
struct Reply {
  enum class Kind {
    kNormal,        // status line, Content-Length, body, close
    kCloseMidBody,  // promises more than it sends, then closes
    kNeverAnswer,   // reads the request and stays silent
  };
  explicit Reply(QByteArray body = {}, Kind kind = Kind::kNormal)
      : body(std::move(body)), kind(kind) {}
  Reply(int status, QByteArray reason, QByteArray location = {})
      : status(status), reason(std::move(reason)), location(std::move(location)) {}

  int status = 200;
  QByteArray reason = "OK";
  QByteArray body;
  Kind kind = Kind::kNormal;
  QByteArray location;           // sent as Location when not empty
  bool announceLength = true;    // send Content-Length
  std::int64_t streamBytes = 0;  // a body of this many digits, made as the client takes them
};

inline Reply Stream(std::int64_t bytes, bool announceLength) {
  Reply reply;
  reply.streamBytes = bytes;
  reply.announceLength = announceLength;
  return reply;
}

// One request per connection, answered from a table of paths, 404 for anything else. It runs on
// the test's thread, served by the download's own event loop.
class TestHttpServer : public QObject {
 public:
  TestHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) ADD_FAILURE() << "cannot listen on 127.0.0.1";
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
  }
  void Serve(const QByteArray& path, Reply reply) { replies_[path] = std::move(reply); }

  QByteArray lastRequest;     // head of the last request, as received
  std::int64_t streamed = 0;  // body bytes handed to the system by streamed replies

 private:
  void Accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      socket->setParent(this);
      auto received = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
        if (received->contains("\r\n\r\n")) return;  // one request per connection
        *received += socket->readAll();
        const qsizetype end = received->indexOf("\r\n\r\n");
        if (end < 0) return;
        lastRequest = received->left(end);
        const QList<QByteArray> requestLine =
            lastRequest.left(lastRequest.indexOf("\r\n")).split(' ');
        const auto found = replies_.find(requestLine.value(1));
        Answer(*socket, found != replies_.end() ? found->second : Reply(404, "Not Found"));
      });
    }
  }

  void Answer(QTcpSocket& socket, const Reply& reply) {
    if (reply.kind == Reply::Kind::kNeverAnswer) return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " " + reply.reason + "\r\n";
    head += "Content-Type: text/plain\r\nConnection: close\r\n";
    if (!reply.location.isEmpty()) head += "Location: " + reply.location + "\r\n";
    const std::int64_t length = reply.streamBytes + reply.body.size() +
                                (reply.kind == Reply::Kind::kCloseMidBody ? 1000 : 0);
    if (reply.announceLength) head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    socket.write(head + "\r\n" + reply.body);
    if (reply.streamBytes == 0) return socket.disconnectFromHost();  // once all is sent

    // Keeps a few chunks queued and adds more as they drain, until the body is complete or the
    // client has gone: a client that stops reading stops the stream.
    auto left = std::make_shared<std::int64_t>(reply.streamBytes);
    QTcpSocket* s = &socket;
    const auto refill = [this, s, left] {
      static const QByteArray chunk(64 * 1024, '9');
      while (*left > 0 && s->state() == QAbstractSocket::ConnectedState &&
             s->bytesToWrite() < 4 * chunk.size()) {
        const qint64 n = std::min<std::int64_t>(*left, chunk.size());
        if (s->write(chunk.constData(), n) != n) return;
        *left -= n;
        streamed += n;
      }
      if (*left == 0) s->disconnectFromHost();
    };
    QObject::connect(s, &QTcpSocket::bytesWritten, s, refill);
    refill();
  }

  QTcpServer server_;
  std::map<QByteArray, Reply> replies_;
};

// A port on 127.0.0.1 that nobody listens on.
inline std::string DeadServerUrl() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  const quint16 port = probe.serverPort();
  probe.close();
  return "http://127.0.0.1:" + std::to_string(port);
}

}  // namespace vettrix::test
