#include "service/PgStore.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "service/Log.h"
#include "service/StoreParts.h"

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
// Short enough that an instance stores again within moments of the database's return.
constexpr auto kLastRetry = std::chrono::seconds(5);

void IgnoreNotice(void*, const char*) {}  // "already exists, skipping" and the like

// A connection to `address`, made within `timeout`, that notices a peer gone (keepalives, and
// data unacknowledged for longer than `timeout`), whose statements the server ends at `timeout`
// too; the address may set each of these otherwise. Non-blocking: every wait is the caller's.
PGconn* Connect(const std::string& address, const std::string& password,
                std::chrono::milliseconds timeout) {
  const std::string seconds =
      std::to_string(std::max<std::int64_t>(2, (timeout.count() + 999) / 1000));
  const std::string millis = std::to_string(timeout.count());
  const std::string options = "-c statement_timeout=" + millis;
  const char* keys[] = {"connect_timeout",
                        "keepalives",
                        "keepalives_idle",
                        "keepalives_interval",
                        "keepalives_count",
                        "tcp_user_timeout",
                        "options",
                        "dbname",
                        password.empty() ? nullptr : "password",
                        nullptr};
  const char* values[] = {seconds.c_str(),
                          "1",
                          "5",
                          "2",
                          "3",
                          millis.c_str(),
                          options.c_str(),
                          address.c_str(),
                          password.empty() ? nullptr : password.c_str(),
                          nullptr};
  PGconn* connection = PQconnectdbParams(keys, values, 1);
  if (connection != nullptr) {
    PQsetNoticeProcessor(connection, IgnoreNotice, nullptr);
    if (PQstatus(connection) == CONNECTION_OK) PQsetnonblocking(connection, 1);
  }
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
  std::string reason =
      FirstLineOf(connection != nullptr ? PQerrorMessage(connection) : "out of memory");
  return reason.empty() ? "the connection ended without a word" : reason;
}

std::string SecondsText(std::chrono::milliseconds timeout) {
  const auto tenths = (timeout.count() + 50) / 100;
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

enum class Wait { Result, Broken, TimedOut };

// The next result of the command sent on `connection` (null once it is done), waited for no
// longer than `deadline`.
Wait NextResult(PGconn* connection, Clock::time_point deadline, PGresult*& result) {
  for (;;) {
    const int flushed = PQflush(connection);
    if (flushed < 0 || PQconsumeInput(connection) == 0) return Wait::Broken;
    if (flushed == 0 && PQisBusy(connection) == 0) {
      result = PQgetResult(connection);
      return Wait::Result;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::TimedOut;
    pollfd socket{PQsocket(connection), static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)),
                  0};
    ::poll(&socket, 1, static_cast<int>(std::min<std::int64_t>(left, 1000)));
  }
}

// Asks the server to stop what `connection` runs. A server that does not answer holds the asking
// thread until it does, so a thread of its own asks, one at a time per connection.
void Cancel(PGconn* connection, const std::shared_ptr<std::atomic<bool>>& cancelling) {
  PGcancel* cancel = PQgetCancel(connection);
  if (cancel == nullptr) return;
  if (cancelling->exchange(true)) {
    PQfreeCancel(cancel);
    return;
  }
  std::thread([cancel, cancelling] {
    char error[256];
    PQcancel(cancel, error, sizeof error);
    PQfreeCancel(cancel);
    *cancelling = false;
  }).detach();
}

// A connection found lost before its statement was answered: nothing of the operation was kept.
class Stale : public StoreError {
 public:
  using StoreError::StoreError;
};

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

// One connection, used by one operation at a time, each within its deadline. Lost, it is made
// again on use, no sooner than its backoff allows; meanwhile every use fails at once with the
// reason.
class PgConnection {
 public:
  PgConnection(std::string address, std::string password, std::chrono::milliseconds timeout)
      : address_(std::move(address)), password_(std::move(password)), timeout_(timeout) {
    Reconnect(true);
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
    const PGresult* Raw() const { return result_; }

   private:
    PGresult* result_;
  };

  // A parameter: text, or bytes for a bytea column.
  struct Param {
    std::string_view value;
    bool bytes = false;
  };

  // Runs `work`, whose statements go through Run, as one operation: the connection held and
  // every wait within one deadline. A connection found lost (a restarted server closed it) is
  // made again at once and `work` run once more, for nothing of it was kept.
  template <typename F>
  auto Operation(F work) {
    const auto deadline = Clock::now() + timeout_;
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline))
      throw StoreError("PostgreSQL: no answer within " + SecondsText(timeout_) +
                       " (the connection is busy with another operation)");
    const Holding holding(holder_);
    deadline_ = deadline;
    try {
      return work();
    } catch (const Stale&) {
      Reconnect(true);
      return work();
    }
  }

  // An operation in a transaction, rolled back unless `work` returns. When the answer to its
  // commit is lost, the outcome is unknown, and the error says so.
  template <typename F>
  auto Transaction(F work) {
    return Operation([&] {
      Run("BEGIN");
      try {
        auto outcome = work();
        Run("COMMIT", {}, false, true);
        return outcome;
      } catch (...) {
        if (connection_ != nullptr && PQtransactionStatus(connection_) != PQTRANS_IDLE) {
          try {
            Run("ROLLBACK");
          } catch (const StoreError&) {
            // Dropped with the connection, then.
          }
        }
        throw;
      }
    });
  }

  // Runs `sql` with `params` within the operation; results in binary for bytes and text alike
  // (integers are then read from their text form, so the queries cast them ::text).
  Result Run(const char* sql, std::initializer_list<Param> params = {}, bool binary = false,
             bool committing = false) {
    assert(holder_.load() == std::this_thread::get_id());
    if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) Reconnect(false);
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.value.data());
      lengths.push_back(static_cast<int>(p.value.size()));
      formats.push_back(p.bytes ? 1 : 0);
    }
    if (PQsendQueryParams(connection_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                          lengths.data(), formats.data(), binary ? 1 : 0) == 0)
      Broken(committing);
    // Held from here: waiting for the end of the command may fail at its deadline.
    Result result(Next(committing));
    if (result.Raw() != nullptr) {
      for (PGresult* extra = Next(committing); extra != nullptr; extra = Next(committing))
        PQclear(extra);
    }
    const ExecStatusType status = PQresultStatus(result.Raw());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string reason = result.Raw() != nullptr ? PQresultErrorMessage(result.Raw()) : "";
      if (PQstatus(connection_) != CONNECTION_OK) Broken(committing);
      throw StoreError("PostgreSQL: " +
                       (reason.empty() ? Reason(connection_) : FirstLineOf(reason)));
    }
    return result;
  }

  // Runs statements that take no parameters, several at once (a migration), within the
  // operation.
  void RunScript(const char* sql) {
    assert(holder_.load() == std::this_thread::get_id());
    if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) Reconnect(false);
    if (PQsendQuery(connection_, sql) == 0) Broken(false);
    std::string reason;
    while (PGresult* result = Next(false)) {
      if (reason.empty() && PQresultStatus(result) != PGRES_COMMAND_OK)
        reason = FirstLineOf(PQresultErrorMessage(result));
      PQclear(result);
    }
    if (!reason.empty()) throw StoreError("PostgreSQL: " + reason);
  }

 private:
  // Marks the thread whose operation holds the connection, while it does.
  class Holding {
   public:
    explicit Holding(std::atomic<std::thread::id>& holder) : holder_(holder) {
      holder_ = std::this_thread::get_id();
    }
    ~Holding() { holder_ = std::thread::id(); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

   private:
    std::atomic<std::thread::id>& holder_;
  };

  PGresult* Next(bool committing) {
    PGresult* result = nullptr;
    const Wait wait = NextResult(connection_, deadline_, result);
    if (wait == Wait::Broken) Broken(committing);
    if (wait == Wait::TimedOut) Abandon(committing);
    return result;
  }

  [[noreturn]] void Broken(bool committing) {
    const std::string reason = Reason(connection_);
    Drop(reason);
    if (committing)
      throw StoreError("PostgreSQL: the connection was lost as it committed (" + reason +
                           "): whether it did is unknown",
                       true);
    throw Stale("PostgreSQL connection lost: " + reason);
  }

  // Past the deadline: the statement is cancelled and the connection dropped.
  [[noreturn]] void Abandon(bool committing) {
    Cancel(connection_, cancelling_);
    const std::string reason = "no answer within " + SecondsText(timeout_);
    Drop(reason);
    throw StoreError(
        "PostgreSQL: " + reason + (committing ? " as it committed: whether it did is unknown" : ""),
        committing);
  }

  void Drop(const std::string& reason) {
    PQfinish(connection_);
    connection_ = nullptr;
    lastReason_ = reason;
    if (retry_ == decltype(retry_)::zero()) retry_ = kFirstRetry;
    nextTry_ = Clock::now() + retry_;
  }

  // `now`: whatever the backoff says.
  void Reconnect(bool now) {
    if (!now && Clock::now() < nextTry_)
      throw StoreError("PostgreSQL is unreachable (" + lastReason_ + "); trying again shortly");
    PQfinish(connection_);
    connection_ = Connect(address_, password_, timeout_);
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
  std::chrono::milliseconds timeout_;
  PGconn* connection_ = nullptr;
  std::timed_mutex mutex_;
  std::atomic<std::thread::id> holder_{};  // the thread whose operation holds it, if any
  Clock::time_point deadline_{};           // of the operation that holds the connection
  Clock::duration retry_{};
  Clock::time_point nextTry_{};
  std::string lastReason_;
  std::shared_ptr<std::atomic<bool>> cancelling_ = std::make_shared<std::atomic<bool>>(false);
};

PgStore::PgStore(const std::string& address, const std::string& password, bool forMigration,
                 std::chrono::milliseconds timeout)
    : db_(std::make_unique<PgConnection>(address, password, timeout)),
      address_(address),
      password_(password),
      timeout_(timeout) {
  if (forMigration) return;
  db_->Operation([this] {
    const bool migrated =
        db_->Run("SELECT (to_regclass('schema_migrations') IS NOT NULL)::text").Text(0, 0) ==
        "true";
    const std::int64_t version =
        migrated ? db_->Run("SELECT coalesce(max(version), 0)::text FROM schema_migrations")
                       .Integer(0, 0)
                 : 0;
    if (version != SchemaVersion())
      throw StoreError("the database's schema is at version " + std::to_string(version) +
                       ", this program's at " + std::to_string(SchemaVersion()) +
                       ": run vettrix-service migrate");
    salt_ = db_->Run("SELECT value FROM meta WHERE key = 'salt'").Text(0, 0);
    return 0;
  });
}

PgStore::~PgStore() = default;

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

Result<int, Store::Limited> PgStore::Admit(std::string_view client, std::int64_t now, int perHour) {
  const std::string key = ClientKey(salt_, client), at = std::to_string(now),
                    hourAgo = std::to_string(now - 3600);
  return db_->Transaction([&]() -> Result<int, Limited> {
    // Attempts of one client count one at a time, whichever instance they reach.
    db_->Run("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {{key}});
    db_->Run("DELETE FROM attempts WHERE at <= $1::bigint", {{hourAgo}});
    const auto count = db_->Run(
        "SELECT count(*)::text, coalesce(min(at), 0)::text FROM attempts WHERE client = $1",
        {{key}});
    const std::int64_t attempts = count.Integer(0, 0);
    if (attempts >= perHour) {
      const std::int64_t wait = count.Integer(0, 1) + 3600 - now;
      return Unexpected<Limited>{{wait > 0 ? wait : 1}};
    }
    db_->Run("INSERT INTO attempts (client, at) VALUES ($1, $2::bigint)", {{key}, {at}});
    return static_cast<int>(attempts) + 1;
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

// Whole numbers come as text (results are binary). Ordered by submissions.id, the column: "id"
// alone would be the text given back.
const std::string kSelectSubmissions = SelectSubmissions("::text");

Submission SubmissionAt(const PgConnection::Result& rows, int row) {
  return SubmissionOf([&](int column) { return rows.Integer(row, column); },
                      [&](int column) { return rows.Bytes(row, column); });
}

}  // namespace

std::optional<Submission> PgStore::Find(std::int64_t id) {
  const std::string number = std::to_string(id);
  return db_->Operation([&]() -> std::optional<Submission> {
    const auto rows =
        db_->Run((kSelectSubmissions + "WHERE id = $1::bigint").c_str(), {{number}}, true);
    if (rows.Rows() == 0) return std::nullopt;
    return SubmissionAt(rows, 0);
  });
}

std::vector<Submission> PgStore::List(std::optional<Status> status) {
  const std::string sql =
      kSelectSubmissions + (status ? "WHERE status = $1 " : "") + "ORDER BY submissions.id";
  return db_->Operation([&] {
    const auto rows = status ? db_->Run(sql.c_str(), {{StatusName(*status)}}, true)
                             : db_->Run(sql.c_str(), {}, true);
    std::vector<Submission> found;
    found.reserve(static_cast<std::size_t>(rows.Rows()));
    for (int row = 0; row < rows.Rows(); ++row) found.push_back(SubmissionAt(rows, row));
    return found;
  });
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

bool PgStore::MayHaveChanged(const PublicationId&) {
  return false;  // announced, and looked for on a timer
}

std::optional<Publication> PgStore::Newer(const PublicationId& known) {
  return db_->Operation([&]() -> std::optional<Publication> {
    const std::int64_t latest =
        db_->Run("SELECT coalesce(max(id), 0)::text FROM publications").Integer(0, 0);
    if (latest == 0 || static_cast<std::uint64_t>(latest) == known.parts[0]) return std::nullopt;
    const std::string id = std::to_string(latest);
    const auto row = db_->Run(
        "SELECT bytes, published::text FROM publications WHERE id = $1::bigint", {{id}}, true);
    if (row.Rows() != 1) throw StoreError("PostgreSQL: publication " + id + " went away");
    Publication publication;
    publication.id.parts[0] = static_cast<std::uint64_t>(latest);
    publication.bytes = row.Bytes(0, 0);
    publication.published = row.Integer(0, 1);
    return publication;
  });
}

Result<void> PgStore::Publish(std::string_view bytes, std::int64_t now, const PublishCheck& check) {
  const std::string published = std::to_string(now);
  return db_->Transaction([&]() -> Result<void> {
    // One publish at a time, from any machine; readers are not held up.
    db_->Run("LOCK TABLE publications IN SHARE ROW EXCLUSIVE MODE");
    // Ordered by the column, not by the text of the same name that the query gives back.
    const auto row = db_->Run(
        "SELECT id::text, bytes, published::text FROM publications "
        "ORDER BY publications.id DESC LIMIT 1",
        {}, true);
    std::optional<Publication> current;
    if (row.Rows() == 1) {
      current.emplace();
      current->id.parts[0] = static_cast<std::uint64_t>(row.Integer(0, 0));
      current->bytes = row.Bytes(0, 1);
      current->published = row.Integer(0, 2);
    }
    if (Result<void> allowed = check(std::move(current)); !allowed) return allowed;
    const auto inserted = db_->Run(
        "INSERT INTO publications (bytes, published) VALUES ($1, $2::bigint) RETURNING id::text",
        {{bytes, true}, {published}});
    // Delivered when the transaction commits, to every instance that listens.
    db_->Run("SELECT pg_notify($1, $2)", {{kChannel}, {inserted.Text(0, 0)}});
    return {};
  });
}

namespace {

// LISTEN on a connection of its own, on a thread of its own; lost, the connection is made again
// with a backoff. Each notification, and each new connection (something may have been published
// meanwhile), is told.
class PgWatch final : public Store::Watch {
 public:
  PgWatch(std::string address, std::string password, std::chrono::milliseconds timeout,
          std::function<void()> changed)
      : thread_([this, address = std::move(address), password = std::move(password), timeout,
                 changed = std::move(changed)] { Listen(address, password, timeout, changed); }) {}
  ~PgWatch() override {
    stopping_ = true;
    thread_.join();
  }

 private:
  void Listen(const std::string& address, const std::string& password,
              std::chrono::milliseconds timeout, const std::function<void()>& changed) {
    PGconn* connection = nullptr;
    auto retry = Clock::duration::zero();
    auto nextTry = Clock::now();
    while (!stopping_) {
      if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
        if (Clock::now() < nextTry) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        PQfinish(connection);
        connection = Connect(address, password, timeout);
        const bool listening =
            PQstatus(connection) == CONNECTION_OK &&
            RunWithin(connection, (std::string("LISTEN ") + kChannel).c_str(), timeout);
        if (!listening) {
          PQfinish(connection);
          connection = nullptr;
          retry = retry == Clock::duration::zero()
                      ? Clock::duration(kFirstRetry)
                      : std::min<Clock::duration>(retry * 2, kLastRetry);
          nextTry = Clock::now() + retry;
          continue;
        }
        retry = {};
        changed();  // whatever was published meanwhile
      }
      bool notified = false;
      pollfd socket{PQsocket(connection), POLLIN, 0};
      if (::poll(&socket, 1, 200) > 0) {
        if (PQconsumeInput(connection) == 0) {
          PQfinish(connection);
          connection = nullptr;
          continue;
        }
        while (PGnotify* notify = PQnotifies(connection)) {
          notified = true;
          PQfreemem(notify);
        }
      }
      if (notified) changed();
    }
    PQfinish(connection);
  }

  static bool RunWithin(PGconn* connection, const char* sql, std::chrono::milliseconds timeout) {
    if (PQsendQuery(connection, sql) == 0) return false;
    const auto deadline = Clock::now() + timeout;
    bool ok = true;
    for (;;) {
      PGresult* result = nullptr;
      if (NextResult(connection, deadline, result) != Wait::Result) return false;
      if (result == nullptr) return ok;
      ok = ok && PQresultStatus(result) == PGRES_COMMAND_OK;
      PQclear(result);
    }
  }

  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Store::Watch> PgStore::WatchPublications(const std::function<void()>& changed) {
  return std::make_unique<PgWatch>(address_, password_, timeout_, changed);
}

}  // namespace vettrix::service
