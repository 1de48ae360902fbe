#pragma once

// What the service's fuzz targets share: the service over a small published database (the
// shipped one cut short) and a SQLite store in a temporary folder, made fresh for every input
// so that an input's answers depend on it alone.

#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzPlatform.h"
#include "service/Published.h"
#include "service/Service.h"
#include "service/SqliteStore.h"

namespace vettrix::fuzz {

// The first and last lines of data/mobidex.csv and the devices the tests look up.
inline constexpr std::string_view kPublishedDatabase =
    "00499901,CHUWI,CW-Vi7\r\n"
    "01019300,BlackBerry,6XXX\r\n"
    "35209900,Alcatel,One Touch 332\r\n"
    "35332305,Samsung,Galaxy S3\r\n"
    "49015420,Nokia,3110\r\n"
    "99991000,Siemens,C62\r\n"
    "VERSION_,v1.26.1206,Osmocom TAC database CC-BY-SA 3.0\r\n";

// The real SQLite store, opened anew on an empty file whenever Renew is called; the published
// database beside it stays.
class FreshStore final : public service::Store {
 public:
  explicit FreshStore(std::string folder) : folder_(std::move(folder)) { Renew(); }
  void Renew() {
    inner_.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
      ::unlink((folder_ + "/" + service::SqliteStore::kStoreName + suffix).c_str());
    inner_ = std::make_unique<service::SqliteStore>(folder_);
  }

  Result<int, Limited> Admit(std::string_view client, std::int64_t now, int perHour) override {
    return inner_->Admit(client, now, perHour);
  }
  Stored Submit(const service::Submission& s) override { return inner_->Submit(s); }
  std::optional<service::Submission> Find(std::int64_t id) override { return inner_->Find(id); }
  std::vector<service::Submission> List(std::optional<service::Status> status) override {
    return inner_->List(status);
  }
  Review Decide(std::int64_t id, service::Status decision) override {
    return inner_->Decide(id, decision);
  }
  bool MayHaveChanged(const service::PublicationId& known) override {
    return inner_->MayHaveChanged(known);
  }
  std::optional<service::Publication> Newer(const service::PublicationId& known) override {
    return inner_->Newer(known);
  }
  Result<void> Publish(std::string_view bytes, std::int64_t now,
                       const PublishCheck& check) override {
    return inner_->Publish(bytes, now, check);
  }

 private:
  std::string folder_;
  std::unique_ptr<service::SqliteStore> inner_;
};

inline constexpr std::int64_t kStart = 1'780'000'000;  // 2026

struct ServiceFixture {
  explicit ServiceFixture(int submissionsPerHour) : store(MakeTempFolder()) {
    if (!service::PublishDatabase(store, std::string(kPublishedDatabase), false, kStart))
      std::abort();
    snapshots = std::make_unique<service::Snapshots>(store);
    service::Settings settings;
    settings.submissionsPerHour = submissionsPerHour;
    handler = std::make_unique<service::Service>(settings, store, *snapshots);
  }
  FreshStore store;
  std::unique_ptr<service::Snapshots> snapshots;
  std::unique_ptr<service::Service> handler;
};

}  // namespace vettrix::fuzz
