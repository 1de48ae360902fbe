#include "update/CheckUpdate.h"

#include <fstream>
#include <iterator>

#include "app/Text.h"
#include "update/ServiceAddress.h"

namespace vettrix {
namespace {

// First line of the file, or nothing when it cannot be opened.
std::optional<std::string> ReadFirstLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string contents((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return std::string(FirstLine(contents));
}

// Greater, equal, smaller: the three outcomes of both checks.
struct Outcomes {
  std::string_view newer;
  std::string_view same;
  std::string_view older;
};

constexpr Outcomes kProgramOutcomes{
    "An update is available! Your version: ",
    "You have the latest version. Your version: ",
    "You have a development version. Your version: ",
};
constexpr Outcomes kDatabaseOutcomes{
    "An Mobidex update is available! Your version: ",
    "You have the latest Mobidex version. Your version: ",
    "You have a development Mobidex version. Your version: ",
};

template <typename T>
std::string Verdict(const Outcomes& outcomes, T online, T own, std::string_view ownText,
                    std::string_view onlineText) {
  std::string text(online > own ? outcomes.newer : online == own ? outcomes.same : outcomes.older);
  text += ownText;
  text += " Online version: ";
  text += onlineText;
  return text;
}

// Fetches `url` into `file` and returns its first line; reports and returns nothing on failure.
std::optional<std::string> FetchFirstLine(Form1& form, const std::string& url,
                                          const std::string& file) {
  const HttpResult result = form.platform.DownloadFile(url, file);
  if (!result && result.error().notSaved) {
    form.platform.MsgBox("The update service answered, but its answer could not be saved: " +
                         DisplayText(result.error().reason));
    return std::nullopt;
  }
  if (!result) {
    form.platform.MsgBox("The update service could not be reached at " + Quoted(url, 200) + ": " +
                         result.error().reason +
                         ".\r\nCheck the network connection and try again. " +
                         ServiceAddressNote(form.platform.ServiceUrlSetting()));
    return std::nullopt;
  }
  // A file that vanished between download and read is as unreadable as an empty one.
  return ReadFirstLine(file).value_or(std::string());
}

}  // namespace

namespace {

// What tells the program's check and the database's apart.
template <typename T>
struct VersionCheck {
  std::optional<T> (*value)(std::string_view);
  std::string_view ownUnreadable;     // message when the own version is no number
  std::string_view onlineUnreadable;  // message when the published one is no number
  std::string_view path;              // on the service
  std::string_view file;              // in the cache folder
  const Outcomes& outcomes;
};

constexpr VersionCheck<std::int16_t> kProgramCheck{
    &ProgramVersionValue,
    "The version of this program could not be read. Your version: ",
    "The published Vettrix version could not be read. Online version: ",
    "/ver",
    "update.dat",
    kProgramOutcomes};
constexpr VersionCheck<double> kDatabaseCheck{
    &DatabaseVersionValue,
    "The version of the loaded Mobidex database could not be read. Your version: ",
    "The published Mobidex version could not be read. Online version: ",
    "/dbver",
    "db.dat",
    kDatabaseOutcomes};

// Compares `ownText` with the first line published at the check's path. `online` receives that
// line after a successful download and keeps its value otherwise.
template <typename T>
void RunCheck(Form1& form, const VersionCheck<T>& check, const std::string& ownText,
              std::string_view serviceUrl, std::string& online) {
  Platform& platform = form.platform;
  const std::optional<T> own = check.value(ownText);
  if (!own) {
    platform.MsgBox(std::string(check.ownUnreadable) + Quoted(ownText));
    return;
  }
  const std::optional<std::string> line =
      FetchFirstLine(form, JoinUrl(serviceUrl, check.path),
                     form.platform.CacheFolder() + "/" + std::string(check.file));
  if (!line) return;
  online = *line;
  const std::optional<T> published = check.value(online);
  if (!published) {
    platform.MsgBox(std::string(check.onlineUnreadable) + Quoted(online));
    return;
  }
  platform.MsgBox(Verdict(check.outcomes, *published, *own, ownText, online));
}

}  // namespace

void CheckUpdate(Form1& form, std::string_view serviceUrl) {
  RunCheck(form, kProgramCheck, form.ProgramVersionNumber, serviceUrl, form.OnlineProgramVersion);
}

void CheckUpdateDB(Form1& form, std::string_view serviceUrl) {
  std::string online;  // the database check starts from nothing every time
  RunCheck(form, kDatabaseCheck, form.DatabaseVersionNumber, serviceUrl, online);
}

}  // namespace vettrix
