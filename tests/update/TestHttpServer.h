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

// What the test server does with a request for one path: sends its status, any further header
// lines given with it, Content-Length and the body, then closes; or promises a thousand bytes more
// than it sends before closing; or reads the request and stays silent; or sends a gigabyte of
// digits, made as the client takes them. The body's end is told by its length, by chunks, or
// only by the closed connection.
struct Reply {
  enum class Kind { kNormal, kCloseMidBody, kNeverAnswer, kGigabyte };
  enum class Framing { kLength, kChunked, kClose };
  QByteArray status, body;
  Kind kind;
  Framing framing = Framing::kLength;
};

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
  void Serve(const QByteArray& path, QByteArray status, QByteArray body = {},
             Reply::Kind kind = Reply::Kind::kNormal,
             Reply::Framing framing = Reply::Framing::kLength) {
    replies_[path] = {std::move(status), std::move(body), kind, framing};
  }

  QByteArray lastRequest;     // head of the last request, as received
  std::int64_t streamed = 0;  // body bytes handed to the system by the gigabyte replies

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
        const auto found = replies_.find(lastRequest.split(' ').value(1));
        Answer(socket, found != replies_.end() ? found->second
                                               : Reply{"404 Not Found", {}, Reply::Kind::kNormal});
      });
    }
  }

  void Answer(QTcpSocket* s, const Reply& reply) {
    if (reply.kind == Reply::Kind::kNeverAnswer) return;
    auto left = std::make_shared<std::int64_t>(reply.kind == Reply::Kind::kGigabyte ? 1 << 30 : 0);
    const std::int64_t length =
        *left + reply.body.size() + (reply.kind == Reply::Kind::kCloseMidBody ? 1000 : 0);
    const bool chunked = reply.framing == Reply::Framing::kChunked;
    const QByteArray framing = chunked ? "Transfer-Encoding: chunked\r\n"
                               : reply.framing == Reply::Framing::kLength
                                   ? "Content-Length: " + QByteArray::number(length) + "\r\n"
                                   : QByteArray();
    s->write("HTTP/1.1 " + reply.status + "\r\nConnection: close\r\n" + framing + "\r\n");
    // Writes body bytes, as a chunk of their own when chunked.
    const auto send = [s, chunked](const char* data, qint64 n) {
      if (chunked && n > 0) s->write(QByteArray::number(n, 16) + "\r\n");
      const bool whole = s->write(data, n) == n;
      if (chunked && n > 0) s->write("\r\n");
      return whole;
    };
    // Ends a complete body, after the closing chunk when chunked.
    const auto end = [s, chunked, cut = reply.kind == Reply::Kind::kCloseMidBody] {
      if (chunked && !cut) s->write("0\r\n\r\n");
      s->disconnectFromHost();
    };
    send(reply.body.constData(), reply.body.size());
    if (*left == 0) return end();  // once all is sent

    // Keeps a few chunks queued and adds more as they drain, until the body is complete or the
    // client has gone: a client that stops reading stops the stream.
    const auto refill = [this, s, left, send, end] {
      static const QByteArray chunk(64 * 1024, '9');
      while (*left > 0 && s->state() == QAbstractSocket::ConnectedState &&
             s->bytesToWrite() < 4 * chunk.size()) {
        const qint64 n = std::min<std::int64_t>(*left, chunk.size());
        if (!send(chunk.constData(), n)) return;
        *left -= n;
        streamed += n;
      }
      if (*left == 0) end();
    };
    QObject::connect(s, &QTcpSocket::bytesWritten, s, refill);
    refill();
  }

  QTcpServer server_;
  std::map<QByteArray, Reply> replies_;
};

}  // namespace vettrix::test
