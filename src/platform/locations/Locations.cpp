#include "platform/locations/Locations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <array>

#include "update/ServiceAddress.h"

namespace vettrix {
namespace {

constexpr const char* kDatabaseName = "mobidex.csv";

std::string Bytes(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The effective user may create files in `folder` (root may everywhere, as the system says).
bool IsWritableFolder(const std::string& folder) {
  return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Creates `folder` and its parents with the usual permissions; false when it cannot be made.
bool MakeFolder(const std::string& folder) {
  return !folder.empty() && QDir().mkpath(QFile::decodeName(folder.c_str()));
}

// A folder of the user's under an XDG base folder, e.g. ~/.local/share/vettrix.
std::string UserFolder(QStandardPaths::StandardLocation base) {
  return Bytes(QStandardPaths::writableLocation(base)) + "/vettrix";
}

}  // namespace

namespace {

// The program folder when the program runs from a copy that can write beside itself.
bool IsPortable(const std::string& programFolder) {
  // A folder without a database beside the program is an installed one, even where root could
  // write into it.
  return IsWritableFolder(programFolder) && IsFile(programFolder + "/" + kDatabaseName);
}

}  // namespace

std::string FindDatabase(const std::string& programFolder, const std::string& sharedDataFolder) {
  std::string beside = programFolder + "/" + kDatabaseName;
  if (IsPortable(programFolder)) return beside;
  std::string user = UserFolder(QStandardPaths::GenericDataLocation) + "/" + kDatabaseName;
  if (IsFile(user)) return user;
  // The shipped copy; a read-only copy of the program may also have its database beside it.
  const std::string candidates[] = {sharedDataFolder + "/" + kDatabaseName,
                                    programFolder + "/../share/vettrix/" + kDatabaseName, beside};
  for (const std::string& candidate : candidates)
    if (IsFile(candidate)) return candidate;
  return candidates[0];  // where it belongs, for the message when none is there
}

std::string FindUserDatabase(const std::string& programFolder) {
  if (IsPortable(programFolder)) return programFolder + "/" + kDatabaseName;
  return UserFolder(QStandardPaths::GenericDataLocation) + "/" + kDatabaseName;
}

Locations FindLocations(const std::string& programFolder, const std::string& sharedDataFolder) {
  Locations found;
  found.database = FindDatabase(programFolder, sharedDataFolder);
  found.userDatabase = FindUserDatabase(programFolder);
  if (IsPortable(programFolder)) {
    found.portable = true;
    found.cacheFolder = programFolder;
    found.reportFolder = programFolder;
    return found;
  }
  // A download or a report into a folder that could not be made fails and names the folder.
  found.cacheFolder = UserFolder(QStandardPaths::GenericCacheLocation);
  MakeFolder(found.cacheFolder);
  found.reportFolder = Bytes(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
  if (!MakeFolder(found.reportFolder)) found.reportFolder = Bytes(QDir::homePath());
  return found;
}

Locations FindLocations(const std::string& programFolder) {
  return FindLocations(programFolder, InstalledDataFolder());
}

std::string InstalledDataFolder() {
  return VETTRIX_INSTALLED_DATA_FOLDER;
}

std::string ProgramFolderPath() {
  // Qt gives the folder as text, which cannot hold a name that is not valid in the locale's
  // encoding; the link the kernel keeps holds the exact bytes.
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length > 0 && static_cast<std::size_t>(length) < buffer.size()) {
    std::string path(buffer.data(), static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) return slash == 0 ? "/" : path.substr(0, slash);
  }
  return Bytes(QCoreApplication::applicationDirPath());
}

}  // namespace vettrix

namespace vettrix {

namespace {

// The keys of an INI file, where they stand.
void ReadSettingKeys(const QString& path, std::vector<SettingKey>& keys) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return;
  for (SettingKey& key : SettingKeysOf(file.readAll().toStdString(), Bytes(path)))
    keys.push_back(std::move(key));
}

}  // namespace

ServiceSetting ReadServiceSetting() {
  const QString name = QStringLiteral("vettrix/vettrix.conf");
  ServiceSetting setting;
  setting.userFile =
      Bytes(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/" + name);
  // The user's folder first, then the system's, in the order of $XDG_CONFIG_DIRS; every file's
  // keys are told, so that one misspelt is found wherever it stands.
  for (const QString& folder :
       QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
    const QString path = folder + "/" + name;
    if (!QFile::exists(path)) continue;
    ReadSettingKeys(path, setting.keys);
    if (!setting.source.empty()) continue;
    const QSettings file(path, QSettings::IniFormat);
    const QVariant value = file.value(QStringLiteral("service-url"));
    if (!value.isValid()) continue;
    // An unquoted value with a comma reads as a list.
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    setting.value = text.trimmed().toStdString();
    setting.source = Bytes(path);
  }
  return setting;
}

}  // namespace vettrix
