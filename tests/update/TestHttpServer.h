#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the download and update tests, with the ways a real
// server misbehaves: silence, a closed connection, an error status, an endless body.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vettrix::test {

// What the test server does with a request for one path.
struct Reply {
  enum class Kind {
    kNormal,        // status line, Content-Length, body, close
    kNoLength,      // body delimited by closing the connection
    kCloseMidBody,  // promises more than it sends, then closes
    kNeverAnswer,   // reads the request and stays silent
    kStream,        // `streamBytes` of body, made as the client takes them
  };
  int status = 200;
  QByteArray reason = "OK";
  QByteArray body;
  Kind kind = Kind::kNormal;
  QByteArray location;           // sent as Location when not empty
  int delayMs = 0;               // wait before answering
  std::int64_t streamBytes = 0;  // kStream: the body's size, never held in memory at once
  bool announceLength = true;    // kStream: send Content-Length
};

inline Reply Status(int status, QByteArray reason, QByteArray body = {}) {
  Reply reply;
  reply.status = status;
  reply.reason = std::move(reason);
  reply.body = std::move(body);
  return reply;
}
inline Reply Body(QByteArray body) {
  return Status(200, "OK", std::move(body));
}
inline Reply Redirect(QByteArray to) {
  Reply reply = Status(302, "Found");
  reply.location = std::move(to);
  return reply;
}
inline Reply Delayed(QByteArray body, int delayMs) {
  Reply reply = Body(std::move(body));
  reply.delayMs = delayMs;
  return reply;
}
// An endless-looking body of `bytes` digits, with or without its length announced.
inline Reply Stream(std::int64_t bytes, bool announceLength) {
  Reply reply = Status(200, "OK");
  reply.kind = Reply::Kind::kStream;
  reply.streamBytes = bytes;
  reply.announceLength = announceLength;
  return reply;
}
inline Reply OfKind(Reply::Kind kind, QByteArray body = {}) {
  Reply reply = Body(std::move(body));
  reply.kind = kind;
  return reply;
}

// A small HTTP/1.1 server on 127.0.0.1: one request per connection, answers from a table of paths,
// 404 for anything else. It runs on the test's thread, served by the download's own event loop.
class TestHttpServer : public QObject {
 public:
  TestHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) ADD_FAILURE() << "cannot listen on 127.0.0.1";
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
  }

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }
  std::string Url(const std::string& path) const { return BaseUrl() + path; }
  void Serve(const QByteArray& path, Reply reply) { replies_[path] = std::move(reply); }

  std::vector<std::string> paths;  // request targets in arrival order
  QByteArray lastRequest;          // head of the last request, as received
  std::int64_t streamed = 0;       // body bytes handed to the system by kStream replies

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
        const QByteArray path = requestLine.size() > 1 ? requestLine[1] : QByteArray();
        paths.push_back(path.toStdString());
        const auto found = replies_.find(path);
        const Reply reply =
            found != replies_.end() ? found->second : Status(404, "Not Found", "no such page\n");
        if (reply.delayMs > 0) {
          QTimer::singleShot(reply.delayMs, socket,
                             [this, socket, reply] { Answer(*socket, reply); });
        } else {
          Answer(*socket, reply);
        }
      });
    }
  }

  void Answer(QTcpSocket& socket, const Reply& reply) {
    if (reply.kind == Reply::Kind::kNeverAnswer) return;
    if (reply.kind == Reply::Kind::kStream) return StartStream(socket, reply);
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " " + reply.reason + "\r\n";
    head += "Content-Type: text/plain\r\nConnection: close\r\n";
    if (!reply.location.isEmpty()) head += "Location: " + reply.location + "\r\n";
    if (reply.kind == Reply::Kind::kNormal)
      head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    if (reply.kind == Reply::Kind::kCloseMidBody)
      head += "Content-Length: " + QByteArray::number(reply.body.size() + 1000) + "\r\n";
    socket.write(head + "\r\n" + reply.body);
    socket.disconnectFromHost();  // sends what is queued, then closes
  }

  // Keeps a few chunks queued and adds more as they drain, until the body is complete or the
  // client has gone: a client that stops reading stops the stream.
  void StartStream(QTcpSocket& socket, const Reply& reply) {
    constexpr qint64 kChunk = 64 * 1024;
    constexpr qint64 kQueued = 4 * kChunk;
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n";
    if (reply.announceLength)
      head += "Content-Length: " + QByteArray::number(reply.streamBytes) + "\r\n";
    socket.write(head + "\r\n");
    auto left = std::make_shared<std::int64_t>(reply.streamBytes);
    QTcpSocket* s = &socket;
    const auto refill = [this, s, left] {
      static const QByteArray chunk(kChunk, '9');
      while (*left > 0 && s->state() == QAbstractSocket::ConnectedState &&
             s->bytesToWrite() < kQueued) {
        const qint64 n = std::min<std::int64_t>(*left, kChunk);
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

inline std::set<std::string> FilesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

}  // namespace vettrix::test
