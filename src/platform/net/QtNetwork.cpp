#include "platform/net/QtNetwork.h"

#include <QByteArray>
#include <QCryptographicHash>

#include "platform/net/HttpDownload.h"

namespace vettrix {

int TimeoutFor(std::int64_t maxBytes) {
  return maxBytes > kDownloadMaxBytes ? kLargeDownloadTimeoutMs : kDownloadTimeoutMs;
}

HttpResult QtNetwork::Fetch(std::string_view url, std::int64_t maxBytes, std::string_view) {
  return BlockingFetch(url, maxBytes, TimeoutFor(maxBytes)).Run(false);
}

HttpResult QtNetwork::DownloadFile(std::string_view url, const std::string& localFile) {
  return HttpDownload(url, localFile);
}

std::string QtNetwork::Sha256Hex(std::string_view bytes) {
  const QByteArray data =
      QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toStdString();
}

}  // namespace vettrix
