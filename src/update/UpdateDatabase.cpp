#include "update/UpdateDatabase.h"

#include <cctype>

#include "app/DeviceTable.h"
#include "app/Files.h"
#include "app/Text.h"
#include "db/Mobidex.h"
#include "update/CheckUpdate.h"

namespace vettrix {
namespace {

DatabaseUpdate Failure(std::string reason, DatabaseUpdate update = {}) {
  update.outcome = DatabaseUpdate::Outcome::Failed;
  update.reason = std::move(reason);
  return update;
}

// The checksum of a "<hex>  mobidex.csv" line, in lower case; empty when the text is not one.
std::string ChecksumOf(std::string_view text) {
  std::string hex(FirstLine(text).substr(0, FirstLine(text).find(' ')));
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return hex;
}

// The text of the member `name` of a JSON object, when it is a plain string; else empty.
std::string_view JsonText(std::string_view json, std::string_view name) {
  std::string key(1, '"');  // appended: GCC 12 takes `"\"" + std::string` for an overlapping copy
  key.append(name).push_back('"');
  std::size_t at = json.find(key);
  if (at == std::string_view::npos) return {};
  at = json.find_first_not_of(" \t\r\n", at + key.size());
  if (at == std::string_view::npos || json[at] != ':') return {};
  at = json.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string_view::npos || json[at] != '"') return {};
  const std::size_t end = json.find_first_of("\"\\", at + 1);
  if (end == std::string_view::npos || json[end] != '"') return {};
  return json.substr(at + 1, end - at - 1);
}

// Whether the database published is newer than the one in use although its number is not: the
// number leaves out the version's first digit (v2.00.0001 gives 000001), which only the
// service's description of its database tells. A service without one has no newer database.
bool NewerByItsFirstDigit(Network& network, std::string_view serviceUrl,
                          const DatabaseUpdate& update) {
  const Fetched described =
      network.Fetch(JoinUrl(serviceUrl, "/api/v1/database"), kVersionFileMaxBytes, {});
  if (!described.ok) return false;
  const std::string_view text = JsonText(described.body, "version_text");
  const auto published = VersionOrder(text), current = VersionOrder(update.oldVersion);
  return IsVersionText(text) &&
         DatabaseVersionValue(VersionNumberOf(text)) == DatabaseVersionValue(update.newNumber) &&
         published && current && *published > *current;
}

}  // namespace

DatabaseUpdate UpdateDatabase(Network& network, std::string_view serviceUrl,
                              const std::string& inUse, const std::string& target, bool checkOnly) {
  DatabaseUpdate update;
  DeviceTable current;
  std::optional<double> oldValue;
  if (current.Load(inUse).status == DeviceTable::Status::Ok) {
    update.oldVersion = VersionTextOf(current.Line(current.LineCount()));
    update.oldNumber = VersionNumberOf(update.oldVersion);
    oldValue = DatabaseVersionValue(update.oldNumber);
  }
  const std::string versionUrl = JoinUrl(serviceUrl, "/dbver");
  const Fetched published = network.Fetch(versionUrl, kVersionFileMaxBytes, {});
  if (!published.ok)
    return Failure(
        std::string(kUnreachable) + " at " + Quoted(versionUrl, 200) + ": " + published.error,
        update);
  update.newNumber = std::string(FirstLine(published.body));
  const std::optional<double> newValue = DatabaseVersionValue(update.newNumber);
  if (!newValue)
    return Failure("the published version is no number: " + Quoted(update.newNumber), update);

  if (oldValue && *newValue <= *oldValue && !NewerByItsFirstDigit(network, serviceUrl, update)) {
    update.outcome = DatabaseUpdate::Outcome::Current;
    return update;
  }
  if (checkOnly) {
    update.outcome = DatabaseUpdate::Outcome::Available;
    return update;
  }

  const std::string databaseUrl = JoinUrl(serviceUrl, "/mobidex.csv");
  Fetched database =
      network.Fetch(databaseUrl, kDatabaseMaxBytes, "Downloading the Mobidex update");
  if (database.cancelled) {
    update.outcome = DatabaseUpdate::Outcome::Cancelled;
    return update;
  }
  if (!database.ok)
    return Failure("the download of " + Quoted(databaseUrl, 200) + " failed: " + database.error,
                   update);
  const std::string sumUrl = JoinUrl(serviceUrl, "/mobidex.csv.sha256");
  const Fetched sum = network.Fetch(sumUrl, kVersionFileMaxBytes, {});
  if (!sum.ok)
    return Failure("the download of " + Quoted(sumUrl, 200) + " failed: " + sum.error, update);
  const std::string expected = ChecksumOf(sum.body);
  if (expected.empty())
    return Failure("the published checksum is not one: " + Quoted(FirstLine(sum.body)), update);
  if (network.Sha256Hex(database.body) != expected)
    return Failure("the download does not match its published checksum", update);

  DeviceTable next;
  const bool truncated = next.Assign(std::move(database.body));
  if (const std::string fault = DatabaseFault(next, truncated); !fault.empty())
    return Failure("the download is no database: " + fault, update);
  update.newVersion = VersionTextOf(next.Line(next.LineCount()));
  const std::string number = VersionNumberOf(update.newVersion);
  if (DatabaseVersionValue(number) != newValue)
    return Failure("the database downloaded is version " + number + ", not " + update.newNumber +
                       " as published",
                   update);
  // Its number is greater, but its first digit may be less (v1.99.9999 after v2.00.0001).
  const auto downloaded = VersionOrder(update.newVersion);
  const auto held = VersionOrder(update.oldVersion);
  if (downloaded && held && *downloaded <= *held) {
    update.newVersion.clear();
    update.outcome = DatabaseUpdate::Outcome::Current;
    return update;
  }
  if (const std::string error = ReplaceFile(target, next.Contents()); !error.empty())
    return Failure("it could not be saved: " + error, update);
  update.newNumber = number;
  update.devices = next.LineCount() - 1;
  update.outcome = DatabaseUpdate::Outcome::Installed;
  return update;
}

}  // namespace vettrix
