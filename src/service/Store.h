#pragma once

// Where the service keeps what must outlive it: the submissions people send and the published
// database. One interface, whatever holds them; the pages, the API and the operator's commands
// do not know which it is.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "seam/Result.h"

namespace vettrix::service {

enum class Status { Pending, Accepted, Rejected };
std::string_view StatusName(Status status);
std::optional<Status> StatusNamed(std::string_view name);

struct Submission {
  std::int64_t id = 0;  // the reference number the submitter is shown
  std::string tac, manufacturer, model, source, note;
  Status status = Status::Pending;
  std::int64_t received = 0;  // seconds since 1970, UTC
};
// A submission's fields by name, in the order it holds them: the stores' columns, and the
// operator's listing.
inline constexpr std::array<std::string_view, 8> kSubmissionFields = {
    "id", "tac", "manufacturer", "model", "source", "note", "status", "received"};

// Tells one publication from another (a file's identity, a row's number): equal ids, same bytes.
struct PublicationId {
  std::array<std::uint64_t, 5> parts{};
  friend bool operator==(const PublicationId&, const PublicationId&) = default;
};

struct Publication {
  PublicationId id;
  std::string bytes;
  std::int64_t published = 0;  // seconds since 1970, UTC
};

// The store cannot be reached or refused the work: nothing was done, and nothing may be claimed;
// unless the outcome is unknown: the store stopped answering after it was asked to commit, so
// the work may have been done.
class StoreError : public std::runtime_error {
 public:
  explicit StoreError(const std::string& what, bool outcomeUnknown = false)
      : std::runtime_error(what), outcomeUnknown_(outcomeUnknown) {}
  bool OutcomeUnknown() const { return outcomeUnknown_; }

 private:
  bool outcomeUnknown_;
};

class Store {
 public:
  virtual ~Store() = default;

  // Why an attempt to submit was not admitted: the client tried `perHour` times within the hour.
  struct Limited {
    std::int64_t wait = 0;  // seconds until it may again
  };
  // Counts an attempt of `client` to submit at `now`, unless it has tried `perHour` times within
  // the hour before: admitted, it is how many it has made within the hour, this one included.
  virtual Result<int, Limited> Admit(std::string_view client, std::int64_t now, int perHour) = 0;

  struct Stored {
    std::int64_t id = 0;
    bool isNew = false;  // false: the same TAC and names were pending already, as `id`
  };
  // Keeps `submission` as pending, committed before this returns, unless one with the same TAC
  // and names is pending already.
  virtual Stored Submit(const Submission& submission) = 0;
  virtual std::optional<Submission> Find(std::int64_t id) = 0;
  // In the order received; all of them without a status.
  virtual std::vector<Submission> List(std::optional<Status> status) = 0;
  enum class Review { Done, NotFound, AlreadyDecided };
  // Decides a pending submission.
  virtual Review Decide(std::int64_t id, Status decision) = 0;

  // Whether a publication other than `known` may be the newest. Cheap: the service asks on every
  // request that reads the database. A store that announces its publications may say no.
  virtual bool MayHaveChanged(const PublicationId& known) = 0;
  // The newest publication, unless it is `known`; nothing when nothing is published. A
  // publication that cannot be read is a StoreError, never "nothing".
  virtual std::optional<Publication> Newer(const PublicationId& known) = 0;
  // Whether a publication may replace the current one (nothing: nothing is published yet), or
  // why not.
  using PublishCheck = std::function<Result<void>(std::optional<Publication> current)>;
  // Replaces the published database by `bytes` (already checked) in one step with `check`: under
  // one lock with every other publish, whatever process makes it, `check` is given the current
  // publication, and unless it refuses, `bytes` replace it. Refused, nothing changed.
  virtual Result<void> Publish(std::string_view bytes, std::int64_t now,
                               const PublishCheck& check) = 0;

  // Announcements of publications, for as long as it lives.
  class Watch {
   public:
    virtual ~Watch() = default;
  };
  // Runs `changed` on a thread of the store's whenever a publication may have been made, by this
  // process or any other, until the watch returned goes (it stops that thread). Null when the
  // store makes no announcements: then MayHaveChanged and a look now and then must do.
  virtual std::unique_ptr<Watch> WatchPublications(const std::function<void()>& /*changed*/) {
    return nullptr;
  }

  // Brings the store's schema up to this program's: how many steps it applied. Safe to run again,
  // and from several machines at once. A store that sets itself up as it opens has none.
  virtual int Migrate() { return 0; }
};

}  // namespace vettrix::service
