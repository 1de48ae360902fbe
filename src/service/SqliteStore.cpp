#include "service/SqliteStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "app/Files.h"
#include "service/Digest.h"
#include "service/StoreParts.h"

namespace vettrix::service {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS submissions (
  id INTEGER PRIMARY KEY,
  tac TEXT NOT NULL,
  manufacturer TEXT NOT NULL,
  model TEXT NOT NULL,
  source TEXT NOT NULL,
  note TEXT NOT NULL,
  status TEXT NOT NULL CHECK (status IN ('pending', 'accepted', 'rejected')),
  received INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS submissions_pending
  ON submissions (tac, manufacturer, model) WHERE status = 'pending';
CREATE TABLE IF NOT EXISTS attempts (client TEXT NOT NULL, at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS attempts_by_client ON attempts (client, at);
CREATE INDEX IF NOT EXISTS attempts_by_time ON attempts (at);
)sql";

std::uint64_t Nanoseconds(const timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(t.tv_nsec);
}

// A file replaced by another has another inode, or at least other times.
PublicationId IdOf(const struct stat& st) {
  return {{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
           static_cast<std::uint64_t>(st.st_size), Nanoseconds(st.st_mtim),
           Nanoseconds(st.st_ctim)}};
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

// A prepared statement, reset for reuse when it goes.
class SqliteStore::Statement {
 public:
  Statement(SqliteStore& store, const char* sql) : db_(store.db_) {
    assert(store.HeldHere());
    if (sqlite3_prepare_v2(db_, sql, -1, &statement_, nullptr) != SQLITE_OK) Fail();
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::string_view text) {
    Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, std::int64_t number) {
    Check(sqlite3_bind_int64(statement_, index, number));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) Fail();
    return false;
  }
  std::int64_t Integer(int column) const { return sqlite3_column_int64(statement_, column); }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }

 private:
  void Check(int result) {
    if (result != SQLITE_OK) Fail();
  }
  [[noreturn]] void Fail() { throw StoreError(std::string("SQLite: ") + sqlite3_errmsg(db_)); }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

SqliteStore::SqliteStore(std::string folder, std::chrono::milliseconds timeout)
    : folder_(std::move(folder)), timeout_(timeout) {
  const std::string path = folder_ + "/" + kStoreName;
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(path + ": " + reason);
  }
  // The operator's commands share the file.
  sqlite3_busy_timeout(db_, static_cast<int>(timeout_.count()));
  // Stores opened at once (the service and commands) may find the file busy where SQLite waits
  // for no one (switching to WAL): then the setup is tried again, until the deadline.
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  const Held held = Hold();
  for (;;) {
    try {
      // Every commit reaches the disk before it is answered: an acknowledged submission
      // survives a killed process and a lost machine.
      Execute("PRAGMA journal_mode = WAL");
      Execute("PRAGMA synchronous = FULL");
      Execute("BEGIN IMMEDIATE");
      Execute(kSchema);
      Statement find(*this, "SELECT value FROM meta WHERE key = 'salt'");
      if (find.Step()) {
        salt_ = find.Text(0);
      } else {
        unsigned char random[16];
        if (RAND_bytes(random, sizeof random) != 1) throw StoreError("no random numbers");
        salt_ = Hex(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
        Statement(*this, "INSERT INTO meta (key, value) VALUES ('salt', ?)").Bind(1, salt_).Step();
      }
      Execute("COMMIT");
      return;
    } catch (const StoreError& e) {
      const bool busy = (sqlite3_errcode(db_) & 0xFF) == SQLITE_BUSY;
      if (sqlite3_get_autocommit(db_) == 0)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      if (!busy || std::chrono::steady_clock::now() >= deadline) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + ": " + e.what());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

SqliteStore::~SqliteStore() {
  sqlite3_close(db_);
}

void SqliteStore::Execute(const char* sql) {
  assert(HeldHere());
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw StoreError("SQLite: " + reason);
  }
}

SqliteStore::Held::Held(SqliteStore& store, std::unique_lock<std::timed_mutex> lock)
    : store_(store), lock_(std::move(lock)) {
  store_.holder_ = std::this_thread::get_id();
}

SqliteStore::Held::~Held() {
  store_.holder_ = std::thread::id();
}

SqliteStore::Held SqliteStore::Hold() {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!lock.try_lock_for(timeout_))
    throw StoreError("SQLite: the store is busy (waited " + std::to_string(timeout_.count()) +
                     " ms)");
  return {*this, std::move(lock)};
}

namespace {

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(const std::function<void(const char*)>& execute) : execute_(execute) {
    execute_("BEGIN IMMEDIATE");
  }
  ~Transaction() {
    if (!done_) {
      try {
        execute_("ROLLBACK");
      } catch (const StoreError&) {
      }
    }
  }
  void Commit() {
    execute_("COMMIT");
    done_ = true;
  }

 private:
  std::function<void(const char*)> execute_;
  bool done_ = false;
};

}  // namespace

Result<int, Store::Limited> SqliteStore::Admit(std::string_view client, std::int64_t now,
                                               int perHour) {
  const std::string key = ClientKey(salt_, client);
  const auto lock = Hold();
  Transaction transaction([this](const char* sql) { Execute(sql); });
  Statement(*this, "DELETE FROM attempts WHERE at <= ?").Bind(1, now - 3600).Step();
  Statement count(*this, "SELECT count(*), min(at) FROM attempts WHERE client = ?");
  count.Bind(1, key).Step();
  const std::int64_t attempts = count.Integer(0);
  if (attempts >= perHour) {
    const std::int64_t wait = count.Integer(1) + 3600 - now;
    transaction.Commit();
    return Unexpected<Limited>{{wait > 0 ? wait : 1}};
  }
  Statement(*this, "INSERT INTO attempts (client, at) VALUES (?, ?)")
      .Bind(1, key)
      .Bind(2, now)
      .Step();
  transaction.Commit();
  return static_cast<int>(attempts) + 1;
}

Store::Stored SqliteStore::Submit(const Submission& s) {
  const auto lock = Hold();
  Transaction transaction([this](const char* sql) { Execute(sql); });
  Statement pending(*this,
                    "SELECT id FROM submissions WHERE status = 'pending' AND tac = ? AND "
                    "manufacturer = ? AND model = ? ORDER BY id LIMIT 1");
  if (pending.Bind(1, s.tac).Bind(2, s.manufacturer).Bind(3, s.model).Step())
    return {pending.Integer(0), false};
  Statement insert(*this,
                   "INSERT INTO submissions (tac, manufacturer, model, source, note, status, "
                   "received) VALUES (?, ?, ?, ?, ?, 'pending', ?)");
  insert.Bind(1, s.tac).Bind(2, s.manufacturer).Bind(3, s.model).Bind(4, s.source);
  insert.Bind(5, s.note).Bind(6, s.received).Step();
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  transaction.Commit();
  return {id, true};
}

namespace {

template <typename Statement>
Submission SubmissionAt(const Statement& row) {
  return SubmissionOf([&row](int column) { return row.Integer(column); },
                      [&row](int column) { return row.Text(column); });
}

}  // namespace

std::optional<Submission> SqliteStore::Find(std::int64_t id) {
  const auto lock = Hold();
  Statement find(*this, (SelectSubmissions() + "WHERE id = ?").c_str());
  if (!find.Bind(1, id).Step()) return std::nullopt;
  return SubmissionAt(find);
}

std::vector<Submission> SqliteStore::List(std::optional<Status> status) {
  const auto lock = Hold();
  Statement list(
      *this, (SelectSubmissions() + (status ? "WHERE status = ? " : "") + "ORDER BY id").c_str());
  if (status) list.Bind(1, StatusName(*status));
  std::vector<Submission> found;
  while (list.Step()) found.push_back(SubmissionAt(list));
  return found;
}

Store::Review SqliteStore::Decide(std::int64_t id, Status decision) {
  const auto lock = Hold();
  Transaction transaction([this](const char* sql) { Execute(sql); });
  Statement find(*this, "SELECT status FROM submissions WHERE id = ?");
  if (!find.Bind(1, id).Step()) return Review::NotFound;
  if (find.Text(0) != StatusName(Status::Pending)) return Review::AlreadyDecided;
  Statement(*this, "UPDATE submissions SET status = ? WHERE id = ?")
      .Bind(1, StatusName(decision))
      .Bind(2, id)
      .Step();
  transaction.Commit();
  return Review::Done;
}

bool SqliteStore::MayHaveChanged(const PublicationId& known) {
  // A look at the file's identity; a file that went leaves nothing to read.
  struct stat st {};
  const std::string path = folder_ + "/" + kDatabaseName;
  return ::stat(path.c_str(), &st) == 0 && !(IdOf(st) == known);
}

std::optional<Publication> SqliteStore::Newer(const PublicationId& known) {
  return Read(known);
}

std::optional<Publication> SqliteStore::Read(const PublicationId& known) {
  const std::string path = folder_ + "/" + kDatabaseName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw StoreError(SystemError(path));
  }
  if (IdOf(st) == known) return std::nullopt;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw StoreError(SystemError(path));
  Publication publication;
  // What was opened is what counts, whatever replaced it since the look above.
  const bool read = [&] {
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    publication.bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < publication.bytes.size()) {
      const ssize_t n =
          ::read(fd, publication.bytes.data() + done, publication.bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }();
  const int error = errno;
  ::close(fd);
  if (!read) {
    errno = error != 0 ? error : EIO;
    throw StoreError(SystemError(path));
  }
  publication.id = IdOf(st);
  publication.published = st.st_mtim.tv_sec;
  return publication;
}

Result<void> SqliteStore::Publish(std::string_view bytes, std::int64_t /*now: the file's own time*/,
                                  const PublishCheck& check) {
  const auto lock = Hold();
  // The store's write lock, which every process takes: the check and the switch are one step.
  Transaction transaction([this](const char* sql) { Execute(sql); });
  if (Result<void> allowed = check(Read({})); !allowed) return allowed;
  if (const Result<void> replaced = ReplaceFile(folder_ + "/" + kDatabaseName, bytes); !replaced)
    throw StoreError(replaced.error());
  transaction.Commit();
  return {};
}

}  // namespace vettrix::service
