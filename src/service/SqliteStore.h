#pragma once

// The store of one service on one machine, needing nothing beside it: the submissions in SQLite
// (submissions.sqlite3) and the published database as the file mobidex.csv, both in one folder.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/Store.h"

struct sqlite3;

namespace vettrix::service {

class SqliteStore final : public Store {
 public:
  // Opens (or creates) the store in `folder`. Throws StoreError with the reason. An operation
  // that waits longer than `timeout` for the file (another process holds it) fails.
  explicit SqliteStore(std::string folder,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  Result<int, Limited> Admit(std::string_view client, std::int64_t now, int perHour) override;
  Stored Submit(const Submission& submission) override;
  std::optional<Submission> Find(std::int64_t id) override;
  std::vector<Submission> List(std::optional<Status> status) override;
  Review Decide(std::int64_t id, Status decision) override;

  bool MayHaveChanged(const PublicationId& known) override;
  std::optional<Publication> Newer(const PublicationId& known) override;
  Result<void> Publish(std::string_view bytes, std::int64_t now,
                       const PublishCheck& check) override;

  static constexpr const char* kDatabaseName = "mobidex.csv";
  static constexpr const char* kStoreName = "submissions.sqlite3";

 private:
  class Statement;
  // The one connection, held by one operation at a time: every statement runs under it.
  class Held {
   public:
    Held(SqliteStore& store, std::unique_lock<std::timed_mutex> lock);
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    SqliteStore& store_;
    std::unique_lock<std::timed_mutex> lock_;
  };
  Held Hold();
  bool HeldHere() const { return holder_.load() == std::this_thread::get_id(); }
  void Execute(const char* sql);
  std::optional<Publication> Read(const PublicationId& known);

  std::string folder_;
  std::string salt_;  // makes the stored client addresses useless outside the store
  sqlite3* db_ = nullptr;
  std::chrono::milliseconds timeout_;
  std::timed_mutex mutex_;  // one statement at a time on the one connection
  std::atomic<std::thread::id> holder_{};
};

}  // namespace vettrix::service
