#include "platform/qt/HttpDownload.h"

#include <fcntl.h>
#include <unistd.h>

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
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

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

// Writes `body` to a temporary file beside `path` and renames it over `path`, so a failure
// leaves the old file as it was. The path's bytes are used as they are: a folder name that is
// not valid in the locale's encoding would not survive a trip through QString. Returns the
// system's reason on failure.
std::string SaveFile(const std::string& path, const QByteArray& body) {
  std::random_device random;
  std::string temp;
  int fd = -1;
  do {  // a fresh name, created with the usual permissions (0666 less the umask)
    temp = path + "." + std::to_string(random()) + ".tmp";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EEXIST);
  if (fd < 0) return std::strerror(errno);
  qsizetype written = 0;
  while (written < body.size()) {
    const ssize_t n =
        ::write(fd, body.constData() + written, static_cast<std::size_t>(body.size() - written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += n;
  }
  int error = written == body.size() ? 0 : errno != 0 ? errno : EIO;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return {};
  ::unlink(temp.c_str());
  return std::strerror(error);
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

  if (std::string error = SaveFile(localFile, body); !error.empty())
    return {false, std::move(error), true};
  return {true, {}};
}

}  // namespace vettrix
