#pragma once

// The store of several instances on several machines: the submissions, the rate limit and every
// published database in one PostgreSQL database. A publication is announced with NOTIFY; each
// serving instance listens (and looks every second besides, on its own timer), so that all of
// them switch within moments of the commit.
//
// PostgreSQL may stop answering (a partition, a stalled server): every operation has a deadline,
// connect and commit included; past it the statement is cancelled, the connection dropped and
// the operation fails. A connection found lost before anything was committed (the server was
// restarted) is made again at once and the operation run once more.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "service/Store.h"

namespace vettrix::service {

// The versioned migrations of the schema, applied in order by `vettrix-service migrate`.
int SchemaVersion();

class PgConnection;

class PgStore final : public Store {
 public:
  // Connects to `address` (a postgresql:// URI or key=value pairs, without a password) with
  // `password` (empty: libpq's own, from PGPASSWORD or a password file). Throws StoreError with
  // the reason when the database cannot be reached or its schema is not the one this program
  // knows (unless `forMigration`). Each operation must end within `timeout`.
  PgStore(const std::string& address, const std::string& password, bool forMigration = false,
          std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~PgStore() override;

  // Applies the migrations not yet applied.
  int Migrate() override;

  Result<int, Limited> Admit(std::string_view client, std::int64_t now, int perHour) override;
  Stored Submit(const Submission& submission) override;
  std::optional<Submission> Find(std::int64_t id) override;
  std::vector<Submission> List(std::optional<Status> status) override;
  Review Decide(std::int64_t id, Status decision) override;
  bool MayHaveChanged(const PublicationId& known) override;
  std::optional<Publication> Newer(const PublicationId& known) override;
  Result<void> Publish(std::string_view bytes, std::int64_t now,
                       const PublishCheck& check) override;
  // LISTEN on a connection of its own, made again whenever it is lost.
  std::unique_ptr<Watch> WatchPublications(const std::function<void()>& changed) override;

 private:
  std::unique_ptr<PgConnection> db_;
  std::string salt_;
  std::string address_, password_;
  std::chrono::milliseconds timeout_;
};

// Whether a store address holds a password, which belongs in a file or the environment.
bool HoldsPassword(std::string_view address);

}  // namespace vettrix::service
