#include "gui/QtPlatform.h"

#include "platform/posix/Ticks.h"

#include <grp.h>
#include <unistd.h>

#include <QByteArray>
#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLocale>
#include <QMessageBox>
#include <QProgressDialog>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "app/Branding.h"
#include "gui/MainWindow.h"
#include "platform/locations/Locations.h"
#include "platform/net/HttpDownload.h"
#include "platform/net/QtNetwork.h"

namespace vettrix {
namespace {

// A long loop may call Refresh or DoEvents thousands of times a second; the widgets need
// repainting no more often than the screen does.
constexpr qint64 kSyncIntervalMs = 16;

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

bool IsAdminGroupMember(gid_t primaryGroup, std::span<const gid_t> userGroups,
                        std::span<const gid_t> adminGroups) {
  const auto isAdmin = [&](gid_t gid) {
    return std::find(adminGroups.begin(), adminGroups.end(), gid) != adminGroups.end();
  };
  return isAdmin(primaryGroup) || std::any_of(userGroups.begin(), userGroups.end(), isAdmin);
}

QtPlatform::QtPlatform() : QtPlatform(ProgramFolderPath(), InstalledDataFolder()) {}

QtPlatform::QtPlatform(std::string programFolder, std::string sharedDataFolder)
    : programFolder_(std::move(programFolder)), sharedDataFolder_(std::move(sharedDataFolder)) {}

void QtPlatform::SetWindow(MainWindow* window) {
  window_ = window;
}

void QtPlatform::ShowWindow() {
  if (window_ == nullptr) return;
  window_->Sync();
  window_->show();
  if (window_->BannerUrl().empty()) return;
  // A failed fetch brings nothing, which empties the banner; one still on its way when the
  // window goes is dropped with it.
  HttpFetch(window_->BannerUrl(), window_, [window = window_](const HttpResult& banner) {
    window->ShowBanner(banner ? *banner : HttpAnswer{});
  });
}

bool QtPlatform::IsClosed() const {
  return window_ != nullptr && window_->IsClosed();
}

void QtPlatform::MsgBox(std::string_view text) {
  // Once the window has gone the program is ending; a late message would hold it up.
  if (IsClosed()) return;
  // The message speaks of what the window shows: everything up to now, not a frame ago.
  if (window_ != nullptr) window_->Sync();
  QString shown = ToQString(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QWidget* parent = window_ != nullptr && window_->isVisible() ? window_ : nullptr;
  QMessageBox box(QMessageBox::NoIcon, ToQString(kAppTitle), shown, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

bool QtPlatform::SetClipboardText(std::string_view text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  clipboard->clear();
  clipboard->setText(ToQString(text));
  return true;
}

bool QtPlatform::OpenUrl(std::string_view url) {
  const QUrl target = QUrl::fromEncoded(QByteArray(url.data(), static_cast<qsizetype>(url.size())));
  // Links are web pages only; anything else would make the desktop run a local handler.
  const QString scheme = target.scheme();
  if (!target.isValid() || (scheme != u"http" && scheme != u"https")) return false;
  return QDesktopServices::openUrl(target);
}

HttpResult QtPlatform::DownloadFile(std::string_view url, const std::string& localFile) {
  return HttpDownload(url, localFile);
}

HttpResult QtPlatform::Fetch(std::string_view url, std::int64_t maxBytes,
                             std::string_view activity) {
  if (activity.empty() || IsClosed()) return QtNetwork().Fetch(url, maxBytes, activity);
  if (window_ != nullptr) window_->Sync();
  QWidget* parent = window_ != nullptr && window_->isVisible() ? window_ : nullptr;
  QProgressDialog dialog(ToQString(activity), QStringLiteral("Cancel"), 0, 0, parent);
  dialog.setObjectName(QStringLiteral("Progress"));
  dialog.setWindowTitle(ToQString(kAppTitle));
  dialog.setWindowModality(Qt::WindowModal);
  dialog.setMinimumDuration(0);
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  BlockingFetch fetch(url, maxBytes, TimeoutFor(maxBytes));
  QObject::connect(&dialog, &QProgressDialog::canceled, [&fetch] { fetch.Cancel(); });
  dialog.show();
  return fetch.Run(true, [&dialog](std::int64_t received, std::int64_t total) {
    // In KiB: the dialog counts in int.
    if (total > 0) dialog.setMaximum(static_cast<int>(total / 1024));
    dialog.setValue(static_cast<int>(received / 1024));
  });
}

std::string QtPlatform::Sha256Hex(std::string_view bytes) {
  return QtNetwork().Sha256Hex(bytes);
}

std::int64_t QtPlatform::TickCount() {
  return MonotonicMilliseconds();
}

DateTime QtPlatform::Now() {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate date = now.date();
  const QTime time = now.time();
  return DateTime{date.year(), date.month(), date.day(), time.hour(), time.minute(), time.second()};
}

double QtPlatform::SecondsSinceMidnight() {
  return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

char QtPlatform::DecimalSeparator() {
  // Asked for every generated candidate; the locale is read once.
  if (decimalSeparator_ == '\0') {
    const QString point = QLocale().decimalPoint();
    decimalSeparator_ = point.size() == 1 && point.at(0).unicode() < 0x80
                            ? static_cast<char>(point.at(0).unicode())
                            : '.';
  }
  return decimalSeparator_;
}

bool QtPlatform::IsUserAnAdmin() {
  if (geteuid() == 0) return true;

  std::vector<gid_t> userGroups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(userGroups.size()), userGroups.data());
  userGroups.resize(static_cast<std::size_t>(std::max(count, 0)));

  std::vector<gid_t> adminGroups;
  for (const char* name : kAdminGroups) {
    if (const group* entry = getgrnam(name)) adminGroups.push_back(entry->gr_gid);
  }
  return IsAdminGroupMember(getgid(), userGroups, adminGroups);
}

std::string QtPlatform::ProgramFolder() {
  return programFolder_;
}

void QtPlatform::FindLocationsOnce() {
  const std::string programFolder = ProgramFolder();
  if (!databaseFile_.empty() && programFolder == locationsFor_) return;
  const Locations found = FindLocations(programFolder, sharedDataFolder_);
  locationsFor_ = programFolder;
  databaseFile_ = found.database;
  userDatabaseFile_ = found.userDatabase;
  cacheFolder_ = found.cacheFolder;
  reportFolder_ = found.reportFolder;
}

std::string QtPlatform::DatabaseFile() {
  FindLocationsOnce();
  return databaseFile_;
}

std::string QtPlatform::CacheFolder() {
  FindLocationsOnce();
  return cacheFolder_;
}

std::string QtPlatform::ReportFolder() {
  FindLocationsOnce();
  return reportFolder_;
}

std::string QtPlatform::UserDatabaseFile() {
  FindLocationsOnce();
  return userDatabaseFile_;
}

ServiceSetting QtPlatform::ServiceUrlSetting() {
  // Read at every use (a few a session): an edit counts without a restart.
  return ReadServiceSetting();
}

bool QtPlatform::SyncIfDue() {
  if (sinceSync_.isValid() && sinceSync_.elapsed() < kSyncIntervalMs) return false;
  sinceSync_.start();
  if (window_ != nullptr) window_->Sync();
  return true;
}

void QtPlatform::Refresh() {
  // Paint what changed, but take no clicks or keys: the caller is not at a point where it
  // expects the user to act.
  if (SyncIfDue()) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtPlatform::DoEvents() {
  // Handling events costs some tens of microseconds, far more than a generation cycle. Once per
  // tick of the coarse clock (a few milliseconds) is sooner than a person can notice.
  const std::int64_t now = MonotonicMilliseconds();
  if (now == lastEventsTick_) return;
  lastEventsTick_ = now;
  SyncIfDue();
  QCoreApplication::processEvents();
}

void QtPlatform::CloseWindow() {
  // The window's close event marks the model closed, whoever asked for it.
  if (window_ != nullptr) window_->close();
}

}  // namespace vettrix
