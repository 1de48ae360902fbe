// The database update's checks of what the service answers: the version it publishes (the JSON
// answer or /dbver), the download, its ETag and the checksum file, served from memory by the
// tests' platform. Any answers are refused with a reason, or the database is installed whole;
// nothing else changes in the folder, no temporary file stays, no older version is installed,
// and the one installed reads back through the window's reader as it was downloaded.
//
// The first byte sets what answers (bits below); the rest is split at "\n--\n" into the JSON
// answer, /dbver, the database, the checksum file and the ETag, in which "DIGEST" stands for the
// download's digest.

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/Branding.h"
#include "app/Form1.h"
#include "app/Text.h"
#include "db/Database.h"
#include "db/Mobidex.h"
#include "update/UpdateDatabase.h"

namespace vettrix::fuzz {
namespace {

enum Bits : std::uint8_t {
  kInUse = 1,           // a database is in use (else none)
  kApiAnswers = 2,      // the JSON answer is given (else 404)
  kNoService = 4,       // no service answers at all
  kCancelled = 8,       // the user cancels the download
  kDownloadFails = 16,  // the download ends in an error
  kCheckOnly = 32,      // only tell whether there is one
  kSumFails = 64,       // the checksum file cannot be had
};

constexpr std::string_view kInUseDatabase =
    "35209900,Alcatel,One Touch 332\r\n"
    "49015420,Nokia,3110\r\n"
    "VERSION_,v1.26.1206,Osmocom TAC database CC-BY-SA 3.0\r\n";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  while (const dirent* entry = ::readdir(dir)) names.insert(entry->d_name);
  ::closedir(dir);
  return names;
}

std::string WithDigest(std::string_view text, const std::string& digest) {
  std::string out(text);
  for (std::size_t at = out.find("DIGEST"); at != std::string::npos; at = out.find("DIGEST", at))
    out.replace(at, 6, digest);
  return out;
}

std::vector<std::string_view> LinesOf(const DeviceTable& table) {
  std::vector<std::string_view> lines;
  for (int k = 1; k <= table.LineCount(); ++k) lines.push_back(table.Line(k));
  return lines;
}

struct Window {
  FuzzPlatform platform{MakeTempFolder()};
  Form1 form{platform};
};

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  if (size == 0) return 0;
  static Window& window = *new Window;
  FuzzPlatform& platform = window.platform;
  const std::uint8_t bits = data[0];
  std::vector<std::string_view> parts;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (parts.size() < 4) {
    const std::size_t at = rest.find("\n--\n");
    if (at == std::string_view::npos) break;
    parts.push_back(rest.substr(0, at));
    rest.remove_prefix(at + 4);
  }
  parts.push_back(rest);
  parts.resize(5);
  const std::string database(parts[2]);
  const std::string digest = platform.Sha256Hex(database);

  platform.fetched.clear();
  platform.fetch = [&](std::string_view url) -> HttpResult {
    if (bits & kNoService) return HttpFailed("connection refused");
    if (url.ends_with("/api/v1/database")) {
      if (bits & kApiAnswers)
        return HttpAnswer{.body = WithDigest(parts[0], digest), .status = 200};
      return HttpFailed("404 Not Found", 404);
    }
    if (url.ends_with("/dbver")) return HttpAnswer{.body = std::string(parts[1]), .status = 200};
    if (url.ends_with("/mobidex.csv")) {
      if (bits & kCancelled)
        return Unexpected<HttpFailure>{{.reason = "cancelled", .cancelled = true}};
      if (bits & kDownloadFails) return HttpFailed("500 Internal Server Error", 500);
      return HttpAnswer{.body = database, .status = 200, .etag = WithDigest(parts[4], digest)};
    }
    if (url.ends_with("/mobidex.csv.sha256") && !(bits & kSumFails))
      return HttpAnswer{.body = WithDigest(parts[3], digest), .status = 200};
    return HttpFailed("404 Not Found", 404);
  };

  // The database in use is the one a newer one replaces, as in a portable folder.
  const std::string target = platform.folder + "/mobidex.csv";
  if (bits & kInUse) {
    WriteFileOrDie(target, std::string(kInUseDatabase));
  } else {
    ::unlink(target.c_str());
  }
  const std::set<std::string> before = Names(platform.folder);
  const DatabaseUpdate update =
      UpdateDatabase(platform, platform, kServiceUrl, target, target, (bits & kCheckOnly) != 0);
  FUZZ_CHECK(platform.fetched.size() <= 8);  // asked again once at most

  if (update.outcome == DatabaseUpdate::Outcome::Failed) {
    // A reason a message box may show: never empty, text, no control character.
    FUZZ_CHECK(!update.reason.empty() && IsValidUtf8(update.reason) &&
               !FirstControl(update.reason));
  }
  if (update.outcome != DatabaseUpdate::Outcome::Installed) {
    FUZZ_CHECK(Names(platform.folder) == before);
    if (bits & kInUse) FUZZ_CHECK(ReadAll(target) == kInUseDatabase);
    return 0;
  }
  FUZZ_CHECK(!(bits & kCheckOnly));
  std::set<std::string> after = before;
  after.insert("mobidex.csv");
  FUZZ_CHECK(Names(platform.folder) == after);
  FUZZ_CHECK(ReadAll(target) == database);

  // Read back as the window reads its database: the lines downloaded, a database the service
  // could publish, the version and count the update told, newer than the one it replaced.
  Form1& form = window.form;
  const DeviceTable::ReadResult read = ShowMobidex(form, target);
  FUZZ_CHECK(read && !read->truncated);
  DeviceTable downloaded;
  downloaded.Assign(database);
  FUZZ_CHECK(LinesOf(form.Devices) == LinesOf(downloaded));
  FUZZ_CHECK(CheckDatabase(form.Devices));
  FUZZ_CHECK(form.DatabaseVersionText == update.newVersion);
  FUZZ_CHECK(form.DatabaseVersionNumber == update.newNumber);
  FUZZ_CHECK(form.Devices.LineCount() - 1 == update.devices);
  if (bits & kInUse) {
    const auto newer = VersionOrder(update.newVersion), older = VersionOrder("v1.26.1206");
    FUZZ_CHECK(newer && *newer > *older);
  }
  for (int k = 1; k < form.Devices.LineCount(); ++k) {
    const int found = form.Devices.FindTAC(form.Devices.Line(k));
    FUZZ_CHECK(found >= k &&
               FieldOf(form.Devices.Line(found), 0) == FieldOf(form.Devices.Line(k), 0));
  }
  return 0;
}
