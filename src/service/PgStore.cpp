#include "service/PgStore.h"

#include <libpq-fe.h>
#include <poll.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "service/Log.h"
#include "service/SqliteStore.h"

namespace vettrix::service {
namespace {

using Clock = std::chrono::steady_clock;

// The schema, one step a version; a step once applied never changes. Texts are kept as bytes,
// exactly as they came, as SQLite keeps them.
constexpr std::array<const char*, 1> kMigrations = {
    R"sql(
CREATE TABLE meta (key text PRIMARY KEY, value text NOT NULL);
INSERT INTO meta (key, value) VALUES ('salt', md5(random()::text || clock_timestamp()::text));
CREATE TABLE submissions (
  id bigserial PRIMARY KEY,
  tac bytea NOT NULL,
  manufacturer bytea NOT NULL,
  model bytea NOT NULL,
  source bytea NOT NULL,
  note bytea NOT NULL,
  status text NOT NULL CHECK (status IN ('pending', 'accepted', 'rejected')),
  received bigint NOT NULL
);
-- One pending submission of a device, whichever instance takes it.
CREATE UNIQUE INDEX submissions_pending ON submissions (tac, manufacturer, model)
  WHERE status = 'pending';
CREATE TABLE attempts (client text NOT NULL, at bigint NOT NULL);
CREATE INDEX attempts_by_client ON attempts (client, at);
CREATE INDEX attempts_by_time ON attempts (at);
CREATE TABLE publications (
  id bigserial PRIMARY KEY,
  bytes bytea NOT NULL,
  published bigint NOT NULL
);
)sql",
};

constexpr const char* kChannel = "mobidex_published";
constexpr std::int64_t kMigrationLock = 0x76657474;  // "vett": one migrate at a time
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLastRetry = std::chrono::seconds(30);
constexpr auto kLookEvery = std::chrono::seconds(1);  // besides NOTIFY

void IgnoreNotice(void*, const char*) {}  // "already exists, skipping" and the like

PGconn* Connect(const std::string& address, const std::string& password) {
  const char* keys[] = {"dbname", password.empty() ? nullptr : "password", nullptr};
  const char* values[] = {address.c_str(), password.empty() ? nullptr : password.c_str(), nullptr};
  PGconn* connection = PQconnectdbParams(keys, values, 1);
  if (connection != nullptr) PQsetNoticeProcessor(connection, IgnoreNotice, nullptr);
  return connection;
}

// The first line of a message of libpq's or the server's, which says it.
std::string FirstLineOf(std::string text) {
  if (text.starts_with("ERROR:")) text.erase(0, text.find_first_not_of(' ', 6));
  const std::size_t line = text.find('\n');
  if (line != std::string::npos) text.erase(line);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Reason(PGconn* connection) {
  return FirstLineOf(connection != nullptr ? PQerrorMessage(connection) : "out of memory");
}

}  // namespace

int SchemaVersion() {
  return static_cast<int>(kMigrations.size());
}

bool HoldsPassword(std::string_view address) {
  if (address.starts_with("postgresql://") || address.starts_with("postgres://")) {
    const std::string_view rest = address.substr(address.find("//") + 2);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos && authority.substr(0, at).find(':') != std::string_view::npos)
      return true;
    return address.find("password=") != std::string_view::npos;
  }
  return address.find("password") != std::string_view::npos;
}

// One connection, used by one statement at a time. Lost, it is made again on use, no sooner
// than its backoff allows; meanwhile every use fails at once with the reason.
class PgConnection {
 public:
  PgConnection(std::string address, std::string password)
      : address_(std::move(address)), password_(std::move(password)) {
    std::lock_guard lock(mutex_);
    Reconnect();
  }
  ~PgConnection() { PQfinish(connection_); }

  class Result {
   public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    int Rows() const { return PQntuples(result_); }
    std::string Text(int row, int column) const {
      return {PQgetvalue(result_, row, column),
              static_cast<std::size_t>(PQgetlength(result_, row, column))};
    }
    std::int64_t Integer(int row, int column) const {
      return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
    }
    // A bytea column, as the bytes it holds (results come in binary).
    std::string Bytes(int row, int column) const { return Text(row, column); }

   private:
    PGresult* result_;
  };

  // A parameter: text, or bytes for a bytea column.
  struct Param {
    std::string_view value;
    bool bytes = false;
  };

  // Runs `sql` with `params` under the caller's lock; results in binary for bytes and text
  // alike (integers are then read from their text form, so the queries cast them ::text).
  Result Run(const char* sql, std::initializer_list<Param> params = {}, bool binary = false) {
    if (PQstatus(connection_) != CONNECTION_OK) Reconnect();
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.value.data());
      lengths.push_back(static_cast<int>(p.value.size()));
      formats.push_back(p.bytes ? 1 : 0);
    }
    PGresult* result = PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                                    values.data(), lengths.data(), formats.data(), binary ? 1 : 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string reason = result != nullptr ? PQresultErrorMessage(result) : "";
      PQclear(result);
      if (PQstatus(connection_) != CONNECTION_OK) {
        Lost();
        throw StoreError("PostgreSQL connection lost: " + Reason(connection_));
      }
      throw StoreError("PostgreSQL: " +
                       (reason.empty() ? Reason(connection_) : FirstLineOf(reason)));
    }
    return Result(result);
  }

  // Runs statements that take no parameters, several at once (a migration).
  void RunScript(const char* sql) {
    PGresult* result = PQexec(connection_, sql);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    const std::string reason = ok ? "" : FirstLineOf(PQresultErrorMessage(result));
    PQclear(result);
    if (!ok) throw StoreError("PostgreSQL: " + reason);
  }

  // Runs `work` in a transaction, rolled back unless it returns.
  template <typename F>
  auto Transaction(F work) {
    std::lock_guard lock(mutex_);
    Run("BEGIN");
    try {
      auto outcome = work();
      Run("COMMIT");
      return outcome;
    } catch (...) {
      if (PQstatus(connection_) == CONNECTION_OK) PQclear(PQexec(connection_, "ROLLBACK"));
      throw;
    }
  }

  std::mutex& Mutex() { return mutex_; }

 private:
  void Lost() {
    if (retry_ == decltype(retry_)::zero()) retry_ = kFirstRetry;
    nextTry_ = Clock::now() + retry_;
  }

  void Reconnect() {
    if (Clock::now() < nextTry_)
      throw StoreError("PostgreSQL is unreachable (" + lastReason_ + "); trying again shortly");
    PQfinish(connection_);
    connection_ = Connect(address_, password_);
    if (PQstatus(connection_) == CONNECTION_OK) {
      if (retry_ != decltype(retry_)::zero()) Log("PostgreSQL reached again");
      retry_ = {};
      nextTry_ = {};
      return;
    }
    lastReason_ = Reason(connection_);
    PQfinish(connection_);  // a failed attempt holds memory too
    connection_ = nullptr;
    retry_ = retry_ == decltype(retry_)::zero() ? kFirstRetry
                                                : std::min<Clock::duration>(retry_ * 2, kLastRetry);
    nextTry_ = Clock::now() + retry_;
    throw StoreError("PostgreSQL is unreachable: " + lastReason_);
  }

  std::string address_, password_;
  PGconn* connection_ = nullptr;
  std::mutex mutex_;
  Clock::duration retry_{};
  Clock::time_point nextTry_{};
  std::string lastReason_;
};

PgStore::PgStore(const std::string& address, const std::string& password, bool forMigration)
    : db_(std::make_unique<PgConnection>(address, password)),
      address_(address),
      password_(password) {
  if (forMigration) return;
  std::lock_guard lock(db_->Mutex());
  const bool migrated =
      db_->Run("SELECT (to_regclass('schema_migrations') IS NOT NULL)::text").Text(0, 0) == "true";
  const std::int64_t version =
      migrated
          ? db_->Run("SELECT coalesce(max(version), 0)::text FROM schema_migrations").Integer(0, 0)
          : 0;
  if (version != SchemaVersion())
    throw StoreError("the database's schema is at version " + std::to_string(version) +
                     ", this program's at " + std::to_string(SchemaVersion()) +
                     ": run vettrix-service migrate");
  salt_ = db_->Run("SELECT value FROM meta WHERE key = 'salt'").Text(0, 0);
}

PgStore::~PgStore() {
  stopping_ = true;
  if (listener_.joinable()) listener_.join();
}

int PgStore::Migrate() {
  return db_->Transaction([this] {
    db_->Run(("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")").c_str());
    db_->Run(
        "CREATE TABLE IF NOT EXISTS schema_migrations (version integer PRIMARY KEY, "
        "applied timestamptz NOT NULL DEFAULT now())");
    const std::int64_t done =
        db_->Run("SELECT coalesce(max(version), 0)::text FROM schema_migrations").Integer(0, 0);
    int applied = 0;
    for (std::int64_t v = done + 1; v <= SchemaVersion(); ++v) {
      db_->RunScript(kMigrations[static_cast<std::size_t>(v - 1)]);
      const std::string version = std::to_string(v);
      db_->Run("INSERT INTO schema_migrations (version) VALUES ($1::integer)", {{version}});
      ++applied;
    }
    return applied;
  });
}

std::string PgStore::ClientKey(std::string_view client) {
  return Sha256Hex(salt_ + std::string(client));
}

std::optional<std::int64_t> PgStore::Admit(std::string_view client, std::int64_t now, int perHour) {
  const std::string key = ClientKey(client), at = std::to_string(now),
                    hourAgo = std::to_string(now - 3600);
  return db_->Transaction([&]() -> std::optional<std::int64_t> {
    // Attempts of one client count one at a time, whichever instance they reach.
    db_->Run("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {{key}});
    db_->Run("DELETE FROM attempts WHERE at <= $1::bigint", {{hourAgo}});
    const auto count = db_->Run(
        "SELECT count(*)::text, coalesce(min(at), 0)::text FROM attempts WHERE client = $1",
        {{key}});
    if (count.Integer(0, 0) >= perHour) {
      const std::int64_t wait = count.Integer(0, 1) + 3600 - now;
      return wait > 0 ? wait : 1;
    }
    db_->Run("INSERT INTO attempts (client, at) VALUES ($1, $2::bigint)", {{key}, {at}});
    return std::nullopt;
  });
}

Store::Stored PgStore::Submit(const Submission& s) {
  const std::string received = std::to_string(s.received);
  return db_->Transaction([&]() -> Stored {
    const auto inserted = db_->Run(
        "INSERT INTO submissions (tac, manufacturer, model, source, note, status, received) "
        "VALUES ($1, $2, $3, $4, $5, 'pending', $6::bigint) ON CONFLICT DO NOTHING "
        "RETURNING id::text",
        {{s.tac, true},
         {s.manufacturer, true},
         {s.model, true},
         {s.source, true},
         {s.note, true},
         {received}});
    if (inserted.Rows() == 1) return {inserted.Integer(0, 0), true};
    const auto pending = db_->Run(
        "SELECT id::text FROM submissions WHERE status = 'pending' AND tac = $1 AND "
        "manufacturer = $2 AND model = $3",
        {{s.tac, true}, {s.manufacturer, true}, {s.model, true}});
    if (pending.Rows() != 1) throw StoreError("PostgreSQL: the pending submission went away");
    return {pending.Integer(0, 0), false};
  });
}

namespace {

constexpr const char* kColumns =
    "SELECT id::text, tac, manufacturer, model, source, note, status, received::text "
    "FROM submissions ";

Submission SubmissionAt(const PgConnection::Result& rows, int row) {
  return {rows.Integer(row, 0),
          rows.Bytes(row, 1),
          rows.Bytes(row, 2),
          rows.Bytes(row, 3),
          rows.Bytes(row, 4),
          rows.Bytes(row, 5),
          StatusNamed(rows.Text(row, 6)).value_or(Status::Pending),
          rows.Integer(row, 7)};
}

}  // namespace

std::optional<Submission> PgStore::Find(std::int64_t id) {
  const std::string number = std::to_string(id);
  std::lock_guard lock(db_->Mutex());
  const auto rows =
      db_->Run((std::string(kColumns) + "WHERE id = $1::bigint").c_str(), {{number}}, true);
  if (rows.Rows() == 0) return std::nullopt;
  return SubmissionAt(rows, 0);
}

std::vector<Submission> PgStore::List(std::optional<Status> status) {
  std::lock_guard lock(db_->Mutex());
  const std::string sql =
      std::string(kColumns) + (status ? "WHERE status = $1 " : "") + "ORDER BY id";
  const auto rows = status ? db_->Run(sql.c_str(), {{StatusName(*status)}}, true)
                           : db_->Run(sql.c_str(), {}, true);
  std::vector<Submission> found;
  found.reserve(static_cast<std::size_t>(rows.Rows()));
  for (int row = 0; row < rows.Rows(); ++row) found.push_back(SubmissionAt(rows, row));
  return found;
}

Store::Review PgStore::Decide(std::int64_t id, Status decision) {
  const std::string number = std::to_string(id);
  return db_->Transaction([&] {
    const auto row =
        db_->Run("SELECT status FROM submissions WHERE id = $1::bigint FOR UPDATE", {{number}});
    if (row.Rows() == 0) return Review::NotFound;
    if (row.Text(0, 0) != StatusName(Status::Pending)) return Review::AlreadyDecided;
    db_->Run("UPDATE submissions SET status = $1 WHERE id = $2::bigint",
             {{StatusName(decision)}, {number}});
    return Review::Done;
  });
}

std::int64_t PgStore::LatestPublication() {
  std::lock_guard lock(db_->Mutex());
  return db_->Run("SELECT coalesce(max(id), 0)::text FROM publications").Integer(0, 0);
}

bool PgStore::MayHaveChanged(const PublicationId& known) {
  const std::int64_t latest = latest_.load();
  return latest < 0 || static_cast<std::uint64_t>(latest) != known.parts[0];
}

std::optional<Publication> PgStore::Newer(const PublicationId& known) {
  const std::int64_t latest = LatestPublication();
  if (latest == 0) throw StoreError("nothing is published in the database yet");
  if (static_cast<std::uint64_t>(latest) == known.parts[0]) return std::nullopt;
  const std::string id = std::to_string(latest);
  std::lock_guard lock(db_->Mutex());
  const auto row = db_->Run("SELECT bytes, published::text FROM publications WHERE id = $1::bigint",
                            {{id}}, true);
  if (row.Rows() != 1) throw StoreError("PostgreSQL: publication " + id + " went away");
  Publication publication;
  publication.id.parts[0] = static_cast<std::uint64_t>(latest);
  publication.bytes = row.Bytes(0, 0);
  publication.published = row.Integer(0, 1);
  return publication;
}

void PgStore::Publish(std::string_view bytes, std::int64_t now) {
  const std::string published = std::to_string(now);
  db_->Transaction([&] {
    const auto row = db_->Run(
        "INSERT INTO publications (bytes, published) VALUES ($1, $2::bigint) RETURNING id::text",
        {{bytes, true}, {published}});
    // Delivered when the transaction commits, to every instance that listens.
    db_->Run("SELECT pg_notify($1, $2)", {{kChannel}, {row.Text(0, 0)}});
    return 0;
  });
}

void PgStore::Listen(std::function<void()> published) {
  latest_ = LatestPublication();
  listener_ = std::thread([this, published = std::move(published)] {
    PGconn* connection = nullptr;
    auto retry = Clock::duration::zero();
    auto nextTry = Clock::now();
    auto nextLook = Clock::now();
    while (!stopping_) {
      if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
        if (Clock::now() < nextTry) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        PQfinish(connection);
        connection = Connect(address_, password_);
        PGresult* listen = PQstatus(connection) == CONNECTION_OK
                               ? PQexec(connection, (std::string("LISTEN ") + kChannel).c_str())
                               : nullptr;
        const bool listening = PQresultStatus(listen) == PGRES_COMMAND_OK;
        PQclear(listen);
        if (!listening) {
          retry = retry == Clock::duration::zero()
                      ? Clock::duration(kFirstRetry)
                      : std::min<Clock::duration>(retry * 2, kLastRetry);
          nextTry = Clock::now() + retry;
          continue;
        }
        retry = {};
        nextLook = Clock::now();  // whatever was published meanwhile
      }
      bool notified = false;
      pollfd socket{PQsocket(connection), POLLIN, 0};
      if (::poll(&socket, 1, 200) > 0) {
        PQconsumeInput(connection);
        while (PGnotify* notify = PQnotifies(connection)) {
          notified = true;
          PQfreemem(notify);
        }
      }
      if (!notified && Clock::now() < nextLook) continue;
      nextLook = Clock::now() + kLookEvery;
      try {
        const std::int64_t latest = LatestPublication();
        if (latest != latest_.exchange(latest) && published) published();
      } catch (const StoreError&) {
        // The store's own connection is down too; it comes back on its own.
      }
    }
    PQfinish(connection);
  });
}

}  // namespace vettrix::service
