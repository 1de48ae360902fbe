#include "platform/qt/HttpDownload.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>

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
    case QNetworkReply::InsecureRedirectError:
      return "redirect to a less secure address refused";
    default:
      return reply.errorString().toStdString();
  }
}

}  // namespace

DownloadResult HttpDownload(std::string_view url, const std::string& localFile, int timeoutMs) {
  if (QCoreApplication::instance() == nullptr) return {false, "no application object"};
  const QUrl address(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())),
                     QUrl::StrictMode);
  if (!address.isValid() || address.host().isEmpty() ||
      (address.scheme() != QLatin1String("http") && address.scheme() != QLatin1String("https")))
    return {false, "not a web address: " + std::string(url)};

  QNetworkAccessManager manager;
  QNetworkRequest request(address);
  request.setRawHeader("Cache-Control", "no-cache");
  request.setRawHeader("Pragma", "no-cache");
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kDownloadMaxRedirects);

  QNetworkReply* reply = manager.get(request);
  QByteArray body;
  bool tooLarge = false;
  bool timedOut = false;

  const auto status = [reply] {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  };
  // Takes what has arrived; an error page's body is of no use and is dropped.
  const auto take = [&] {
    if (!IsSuccess(status())) {
      reply->readAll();
      return;
    }
    body += reply->read(kDownloadMaxBytes + 1 - body.size());
    if (body.size() > kDownloadMaxBytes) {
      tooLarge = true;
      reply->abort();
    }
  };

  QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
    // A declared length over the cap needs no waiting for the bytes.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (IsSuccess(status()) && length.isValid() && length.toLongLong() > kDownloadMaxBytes) {
      tooLarge = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::readyRead, reply, take);

  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, reply, [&] {
    timedOut = true;
    reply->abort();
  });
  timer.start(timeoutMs);
  // Paint events and network traffic go on; clicks and keys wait until the download is over.
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  timer.stop();
  if (!tooLarge && !timedOut && reply->isOpen()) take();

  if (tooLarge)
    return {false, "response larger than " + std::to_string(kDownloadMaxBytes / 1024) + " KiB"};
  if (timedOut) return {false, "timed out after " + DurationText(timeoutMs)};
  const QNetworkReply::NetworkError error = reply->error();
  if (error == QNetworkReply::TooManyRedirectsError ||
      error == QNetworkReply::InsecureRedirectError)
    return {false, NetworkErrorText(*reply)};
  const QVariant code = status();
  if (code.isValid() && !IsSuccess(code)) {
    std::string text = "HTTP " + std::to_string(code.toInt());
    const QByteArray phrase =
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    if (!phrase.isEmpty()) text += " " + phrase.toStdString();
    return {false, text};
  }
  if (error != QNetworkReply::NoError) return {false, NetworkErrorText(*reply)};
  if (!code.isValid()) return {false, "no HTTP response"};

  // QSaveFile writes beside the target and renames only on commit; dropped unsaved, it removes
  // its temporary file, so a failure leaves the old file as it was.
  QSaveFile file(QFile::decodeName(localFile.c_str()));
  if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit())
    return {false, file.errorString().toStdString(), true};
  return {true, {}};
}

}  // namespace vettrix
