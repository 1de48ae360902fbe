#pragma once

// What a monitoring system learns of a running instance: Prometheus metrics (requests by route
// and status, their latency, what the edge refused by its limits, the store's operations and
// failures, the submissions by outcome, the database served), and whether it is ready to serve.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/Store.h"

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace vettrix::service {

struct Published;

// What the edge refused before the service saw it: a head or a body over its limit, a request
// not whole within its deadline, a connection over the cap or without a descriptor, a request
// that found the store's queue full or waited in it too long.
enum class Limit { Headers, Body, RequestTime, Connections, Descriptors, StoreQueue };

// How a submission ended, by form or JSON alike.
enum class Outcome {
  Limited,     // over the client's hourly limit
  Unreadable,  // not a form, not JSON of the expected shape
  Refused,     // a field broke a rule
  Published,   // the database names the device already
  Waiting,     // the same device waits for review already
  Stored,
  StoreFailed,  // nothing was kept
  Unknown,      // the store stopped answering as it committed
};

enum class StoreOperation { Admit, Submit, Find, List, Decide, Newer, Publish };

// Thread-safe; an answer costs a few atomic operations (each pair of a route and a status gets
// its counter once, at its first answer).
class Metrics {
 public:
  // `routes`: the names of the service's routes, as the log names them; the route past the last
  // is a request whose head could not be read ("-").
  explicit Metrics(std::span<const std::string_view> routes);
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  void Answered(std::size_t route, int status, std::chrono::steady_clock::duration took);
  void Refused(Limit limit);
  void Submitted(Outcome outcome);
  void StoreCalled(StoreOperation operation, std::chrono::steady_clock::duration took, bool failed);

  // The text a scrape gets (Prometheus' text format 0.0.4), with what holds at `now`: the
  // database served and the connections open.
  std::string Text(const Published& served, std::int64_t now, std::size_t connections);

 private:
  struct Families;
  std::unique_ptr<prometheus::Registry> registry_;
  std::unique_ptr<Families> families_;
  std::vector<std::string> routes_;
  // By route and status slot, and by route: made at their first use.
  std::vector<std::atomic<prometheus::Counter*>> answers_;
  std::vector<std::atomic<prometheus::Histogram*>> latencies_;
};

// The store as the instance uses it: each operation timed and its failures counted (when
// `metrics` is given), and the time of its last answer and failure kept for readiness.
class MonitoredStore final : public Store {
 public:
  MonitoredStore(Store& store, Metrics* metrics) : store_(store), metrics_(metrics) {}

  // Why the instance should not be sent requests: its last operation on the store failed, or
  // none has been answered within `fresh` (while the store stalls, its operations end only at
  // their deadline). Empty when ready. Reads two atomics: a serving thread may ask.
  std::string NotReady(std::chrono::steady_clock::duration fresh) const;

  std::optional<std::int64_t> Admit(std::string_view client, std::int64_t now,
                                    int perHour) override;
  Stored Submit(const Submission& submission) override;
  std::optional<Submission> Find(std::int64_t id) override;
  std::vector<Submission> List(std::optional<Status> status) override;
  Review Decide(std::int64_t id, Status decision) override;
  bool MayHaveChanged(const PublicationId& known) override;
  std::optional<Publication> Newer(const PublicationId& known) override;
  std::string Publish(std::string_view bytes, std::int64_t now, const PublishCheck& check) override;
  std::unique_ptr<Watch> WatchPublications(const std::function<void()>& changed) override;

 private:
  template <typename Call>
  auto Timed(StoreOperation operation, const Call& call);

  Store& store_;
  Metrics* metrics_;
  // Steady clock, nanoseconds since its epoch; 0: never.
  std::atomic<std::int64_t> answered_{0}, failed_{0};
};

}  // namespace vettrix::service
