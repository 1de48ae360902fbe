#include "update/UpdateDatabase.h"

#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/DeviceTable.h"
#include "app/Files.h"
#include "app/Text.h"
#include "db/Database.h"
#include "update/VersionNumbers.h"

namespace vettrix {
namespace {

DatabaseUpdate Failure(std::string reason, DatabaseUpdate update = {}) {
  update.outcome = DatabaseUpdate::Outcome::Failed;
  update.reason = std::move(reason);
  return update;
}

// The SHA-256 that opens `text` ("<hex>  mobidex.csv", an ETag "<hex>" or W/"<hex>"), in lower
// case; empty when the text holds none.
std::string ChecksumOf(std::string_view text) {
  text = FirstLine(text);
  if (text.starts_with("W/")) text.remove_prefix(2);
  if (text.starts_with('"')) text.remove_prefix(1);
  std::string hex(text.substr(0, text.find_first_of(" \"")));
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return {};
  return hex;
}

// What the service publishes, as one of its answers tells it.
struct Publication {
  std::string number;  // the version number
  std::string sha256;  // the database's digest; empty when the answer did not give it
  std::string text;    // the version text ("v2.00.0001"); empty when the answer did not give it
  bool operator==(const Publication&) const = default;
};

// Asks the service what it publishes: the version number and the digest in one answer
// (/api/v1/database); an older service without it answers /dbver with the number alone. Fails
// when neither answers.
Result<Publication> Ask(Network& network, std::string_view serviceUrl) {
  const std::string apiUrl = JoinUrl(serviceUrl, "/api/v1/database");
  const HttpResult api = network.Fetch(apiUrl, kVersionFileMaxBytes, {});
  if (api) {
    const nlohmann::json answer = nlohmann::json::parse(api->body, nullptr, false);
    const auto text = [&answer](const char* key) {
      const auto it = answer.is_object() ? answer.find(key) : answer.end();
      return it != answer.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    Publication publication{text("version_number"), ChecksumOf(text("sha256")),
                            text("version_text")};
    if (!publication.sha256.empty()) return publication;
  } else if (api.error().status == 0) {
    return Fail(std::string(kUnreachable) + " at " + Quoted(apiUrl, 200) + ": " +
                api.error().reason);
  }
  const std::string versionUrl = JoinUrl(serviceUrl, "/dbver");
  const HttpResult published = network.Fetch(versionUrl, kVersionFileMaxBytes, {});
  if (!published)
    return Fail(std::string(kUnreachable) + " at " + Quoted(versionUrl, 200) + ": " +
                published.error().reason);
  return Publication{std::string(FirstLine(published->body)), {}, {}};
}

}  // namespace

DatabaseUpdate UpdateDatabase(Network& network, Hashing& hashing, std::string_view serviceUrl,
                              const std::string& inUse, const std::string& target, bool checkOnly) {
  DatabaseUpdate update;
  DeviceTable current;
  std::optional<double> oldValue;
  if (current.Load(inUse)) {
    update.oldVersion = VersionTextOf(current.Line(current.LineCount()));
    update.oldNumber = VersionNumberOf(update.oldVersion);
    oldValue = DatabaseVersionValue(update.oldNumber);
  }
  Result<Publication> asked = Ask(network, serviceUrl);
  std::string reason;
  // Two answers disagree when a publication lands between them, or when the instances behind a
  // balancer switch a moment apart: then once more from the start.
  for (int attempt = 0;; ++attempt) {
    if (!asked) return Failure(asked.error(), update);
    const Publication view = *asked;
    update.newNumber = view.number;
    const std::optional<double> newValue = DatabaseVersionValue(view.number);
    if (!newValue)
      return Failure("the published version is no number: " + Quoted(view.number), update);
    // The number leaves out the version's first digit (v2.00.0001 gives 000001): only the version
    // text, which an older service does not give, tells a new major version.
    const auto published = VersionOrder(view.text), held = VersionOrder(update.oldVersion);
    const bool newerByFirstDigit = IsVersionText(view.text) &&
                                   DatabaseVersionValue(VersionNumberOf(view.text)) == newValue &&
                                   published && held && *published > *held;
    if (oldValue && *newValue <= *oldValue && !newerByFirstDigit) {
      update.outcome = DatabaseUpdate::Outcome::Current;
      return update;
    }
    if (checkOnly) {
      update.outcome = DatabaseUpdate::Outcome::Available;
      return update;
    }

    const std::string databaseUrl = JoinUrl(serviceUrl, "/mobidex.csv");
    HttpResult database =
        network.Fetch(databaseUrl, kDatabaseMaxBytes, "Downloading the Mobidex update");
    if (!database && database.error().cancelled) {
      update.outcome = DatabaseUpdate::Outcome::Cancelled;
      return update;
    }
    if (!database)
      return Failure(
          "the download of " + Quoted(databaseUrl, 200) + " failed: " + database.error().reason,
          update);
    // The digest the download must have: the one given with the version, else the one given
    // with the download (its ETag), else the published checksum file.
    const std::string digest = hashing.Sha256Hex(database->body);
    const std::string tagged = ChecksumOf(database->etag);
    std::string expected = !view.sha256.empty() ? view.sha256 : tagged;
    if (expected.empty()) {
      const std::string sumUrl = JoinUrl(serviceUrl, "/mobidex.csv.sha256");
      const HttpResult sum = network.Fetch(sumUrl, kVersionFileMaxBytes, {});
      if (!sum)
        return Failure("the download of " + Quoted(sumUrl, 200) + " failed: " + sum.error().reason,
                       update);
      expected = ChecksumOf(sum->body);
      if (expected.empty())
        return Failure("the published checksum is not one: " + Quoted(FirstLine(sum->body)),
                       update);
    }
    // Whether the download is known to be another publication than the one asked about.
    bool another = false;
    if (digest != expected) {
      reason = "the download does not match its published checksum";
      another = !view.sha256.empty() && tagged == digest;
    } else {
      DeviceTable next;
      const bool truncated = next.Assign(std::move(database->body));
      if (const Result<void> usable = CheckDatabase(next, truncated); !usable)
        return Failure("the download is no database: " + usable.error(), update);
      update.newVersion = VersionTextOf(next.Line(next.LineCount()));
      const std::string number = VersionNumberOf(update.newVersion);
      if (DatabaseVersionValue(number) == newValue) {
        // Its number is greater, but its first digit may be less (v1.99.9999 after v2.00.0001).
        const auto downloaded = VersionOrder(update.newVersion);
        if (downloaded && held && *downloaded <= *held) {
          update.newVersion.clear();
          update.outcome = DatabaseUpdate::Outcome::Current;
          return update;
        }
        if (const Result<void> saved = ReplaceFile(target, next.Contents()); !saved)
          return Failure("it could not be saved: " + saved.error(), update);
        update.newNumber = number;
        update.devices = next.LineCount() - 1;
        update.outcome = DatabaseUpdate::Outcome::Installed;
        return update;
      }
      reason = "the database downloaded is version " + number + ", not " + Quoted(view.number) +
               " as published";
      // Checked against a digest given apart from the version, it is another publication.
      another = view.sha256.empty();
    }
    if (attempt > 0) return Failure(reason, update);
    asked = Ask(network, serviceUrl);
    if (!another && asked && *asked == view) return Failure(reason, update);
  }
}

}  // namespace vettrix
