#include "platform/net/HttpDownload.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "app/Files.h"
#include "app/Text.h"

namespace vettrix {
namespace {

std::string DurationText(int ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

bool IsSuccess(const QVariant& status) {
  return status.isValid() && status.toInt() >= 200 && status.toInt() <= 299;
}

std::string NetworkErrorText(const QNetworkReply& reply) {
  switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
      return "connection refused";
    case QNetworkReply::HostNotFoundError:
      return "host not found";
    case QNetworkReply::RemoteHostClosedError:
      return "the server closed the connection before the whole response arrived";
    case QNetworkReply::TimeoutError:
      return "the server did not answer";
    case QNetworkReply::TooManyRedirectsError:
      return "more than " + std::to_string(kDownloadMaxRedirects) + " redirects";
    case QNetworkReply::InsecureRedirectError: {
      // Another origin could be anyone's, a local address included.
      const QUrl target = reply.url().resolved(QUrl::fromEncoded(reply.rawHeader("Location")));
      return "redirected to " + Quoted(target.toString().toStdString(), 200) +
             ", which is not the address's own scheme, host and port; not followed";
    }
    default:
      return reply.errorString().toStdString();
  }
}

// What has arrived of a fetch while it runs.
struct Progress {
  std::string body;
  bool tooLarge = false;
  bool timedOut = false;
  bool stalled = false;
  std::string refused;  // why the answer was refused: an encoded body
};

QVariant Status(const QNetworkReply& reply) {
  return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
}

// Takes what has arrived; an error page's body is of no use and is dropped.
void Take(QNetworkReply& reply, Progress& progress, std::int64_t maxBytes) {
  if (!IsSuccess(Status(reply))) {
    reply.readAll();
    return;
  }
  const QByteArray part =
      reply.read(maxBytes + 1 - static_cast<std::int64_t>(progress.body.size()));
  progress.body.append(part.constData(), static_cast<std::size_t>(part.size()));
  if (std::cmp_greater(progress.body.size(), maxBytes)) {
    progress.tooLarge = true;
    reply.abort();
  }
}

std::string SizeText(std::int64_t bytes) {
  constexpr std::int64_t kMiB = std::int64_t{1024} * 1024;
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes / 1024) + " KiB";
}

HttpResult Outcome(const QNetworkReply& reply, Progress& progress, int timeoutMs, int stallMs,
                   std::int64_t maxBytes) {
  if (!progress.refused.empty()) return HttpFailed(std::move(progress.refused));
  if (progress.tooLarge) return HttpFailed("response larger than " + SizeText(maxBytes));
  if (progress.timedOut) return HttpFailed("timed out after " + DurationText(timeoutMs));
  if (progress.stalled) return HttpFailed("nothing arrived for " + DurationText(stallMs));
  const QNetworkReply::NetworkError error = reply.error();
  if (error == QNetworkReply::TooManyRedirectsError ||
      error == QNetworkReply::InsecureRedirectError)
    return HttpFailed(NetworkErrorText(reply));
  const QVariant code = Status(reply);
  if (code.isValid() && !IsSuccess(code)) {
    std::string text = "HTTP " + std::to_string(code.toInt());
    const QByteArray phrase =
        reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    // Appended piece by piece: GCC 12 takes `" " + std::string` for an overlapping copy.
    if (!phrase.isEmpty()) text.append(" ").append(phrase.toStdString());
    return HttpFailed(std::move(text), code.toInt());
  }
  if (error != QNetworkReply::NoError) return HttpFailed(NetworkErrorText(reply));
  if (!code.isValid()) return HttpFailed("no HTTP response");
  return HttpAnswer{std::move(progress.body),
                    reply.header(QNetworkRequest::ContentTypeHeader).toString().toStdString(),
                    code.toInt(), reply.rawHeader("ETag").toStdString()};
}

}  // namespace

void HttpFetch(std::string_view url, QObject* context, const std::function<void(HttpResult)>& done,
               int timeoutMs, std::int64_t maxBytes, const FetchProgress& progressed, int stallMs) {
  if (QCoreApplication::instance() == nullptr) return done(HttpFailed("no application object"));
  const QUrl address(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())),
                     QUrl::StrictMode);
  if (!address.isValid() || address.host().isEmpty() ||
      (address.scheme() != QLatin1String("http") && address.scheme() != QLatin1String("https"))) {
    QTimer::singleShot(0, context, [done, error = "not a web address: " + std::string(url)] {
      done(HttpFailed(error));
    });
    return;
  }

  // The request belongs to `context`: destroying it deletes the reply, which then never finishes.
  auto* manager = new QNetworkAccessManager(context);
  QNetworkRequest request(address);
  request.setRawHeader("Cache-Control", "no-cache");
  request.setRawHeader("Pragma", "no-cache");
  // Asked for by name, no encoding is decoded on the way (Qt decodes only what it asked for).
  request.setRawHeader("Accept-Encoding", "identity");
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::SameOriginRedirectPolicy);
  request.setMaximumRedirectsAllowed(kDownloadMaxRedirects);
  QNetworkReply* reply = manager->get(request);
  // The network thread stops taking bytes once a cap's worth waits unread, so a flood cannot
  // outrun the checks below however busy this thread is.
  reply->setReadBufferSize(std::min<std::int64_t>(maxBytes + 1, kDownloadMaxBytes + 1));
  auto progress = std::make_shared<Progress>();

  auto* stall = new QTimer(reply);
  stall->setSingleShot(true);
  stall->setInterval(stallMs);
  QObject::connect(stall, &QTimer::timeout, reply, [reply, progress] {
    progress->stalled = true;
    reply->abort();
  });
  QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, progress, maxBytes] {
    if (!IsSuccess(Status(*reply))) return;
    // A declared length over the cap needs no waiting for the bytes.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
      progress->refused =
          "the answer came encoded (Content-Encoding: " + Quoted(encoding.toStdString()) +
          "), which was not asked for";
      reply->abort();
    } else if (length.isValid() && length.toLongLong() > maxBytes) {
      progress->tooLarge = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, progress, maxBytes, stall] {
    stall->start();
    Take(*reply, *progress, maxBytes);
  });
  if (progressed)
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [progressed](qint64 received, qint64 total) { progressed(received, total); });
  auto* timer = new QTimer(reply);
  timer->setSingleShot(true);
  QObject::connect(timer, &QTimer::timeout, reply, [reply, progress] {
    progress->timedOut = true;
    reply->abort();
  });
  QObject::connect(reply, &QNetworkReply::finished, reply,
                   [reply, manager, timer, stall, progress, done, timeoutMs, stallMs, maxBytes] {
                     timer->stop();
                     stall->stop();
                     if (!progress->tooLarge && !progress->timedOut && !progress->stalled &&
                         progress->refused.empty() && reply->isOpen())
                       Take(*reply, *progress, maxBytes);
                     HttpResult result = Outcome(*reply, *progress, timeoutMs, stallMs, maxBytes);
                     manager->deleteLater();
                     done(std::move(result));
                   });
  timer->start(timeoutMs);
  stall->start();
}

BlockingFetch::BlockingFetch(std::string_view url, std::int64_t maxBytes, int timeoutMs,
                             int stallMs)
    : url_(url), maxBytes_(maxBytes), timeoutMs_(timeoutMs), stallMs_(stallMs) {}

HttpResult BlockingFetch::Run(bool userInput, const FetchProgress& progress) {
  std::optional<HttpResult> fetched;
  QEventLoop loop;
  QObject owner;  // the request ends with this call, finished or not
  HttpFetch(
      url_, &owner,
      [&](HttpResult result) {
        fetched = std::move(result);
        loop.quit();
      },
      timeoutMs_, maxBytes_, progress, stallMs_);
  if (!fetched && !cancelled_) {
    loop_ = &loop;
    // Paint events and network traffic go on; clicks and keys only for the caller's dialog.
    loop.exec(userInput ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    loop_ = nullptr;
  }
  if (fetched && !cancelled_) return std::move(*fetched);
  return Unexpected<HttpFailure>{{.reason = "cancelled", .cancelled = true}};
}

void BlockingFetch::Cancel() {
  cancelled_ = true;
  if (loop_ != nullptr) loop_->quit();
}

HttpResult HttpDownload(std::string_view url, const std::string& localFile, int timeoutMs) {
  HttpResult fetched = BlockingFetch(url, kDownloadMaxBytes, timeoutMs).Run(false);
  if (!fetched) return fetched;
  if (Result<void> saved = ReplaceFile(localFile, fetched->body); !saved)
    return Unexpected<HttpFailure>{
        {.reason = std::move(saved).error(), .status = fetched->status, .notSaved = true}};
  return fetched;
}

}  // namespace vettrix
