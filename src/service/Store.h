#pragma once

// Where the service keeps what must outlive it: the submissions people send and the published
// database. One interface, whatever holds them; the pages, the API and the operator's commands
// do not know which it is.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// The store cannot be reached or refused the work: nothing was done, and nothing may be claimed.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Store {
 public:
  virtual ~Store() = default;

  // Counts an attempt of `client` to submit. Nothing when it may; otherwise the seconds until it
  // may again, when it has tried `perHour` times within the hour before `now`.
  virtual std::optional<std::int64_t> Admit(std::string_view client, std::int64_t now,
                                            int perHour) = 0;

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
  // request that reads the database.
  virtual bool MayHaveChanged(const PublicationId& known) = 0;
  // The newest publication, unless it is `known`.
  virtual std::optional<Publication> Newer(const PublicationId& known) = 0;
  // Replaces the published database by `bytes` (already checked), in one step.
  virtual void Publish(std::string_view bytes, std::int64_t now) = 0;
};

}  // namespace vettrix::service
