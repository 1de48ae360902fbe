#include "service/Metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>

#include "service/Published.h"

namespace vettrix::service {
namespace {

using Clock = std::chrono::steady_clock;

// The statuses the service answers with; any other counts as "other".
constexpr int kStatuses[] = {200, 204, 303, 304, 400, 404, 405, 409, 413, 415, 429, 431, 500, 503};
constexpr std::size_t kStatusSlots = std::size(kStatuses) + 1;

std::size_t StatusSlot(int status) {
  const auto* found = std::find(std::begin(kStatuses), std::end(kStatuses), status);
  return static_cast<std::size_t>(found - std::begin(kStatuses));
}

constexpr std::string_view kLimits[] = {"headers",     "body",        "request_time",
                                        "connections", "descriptors", "store_queue"};
constexpr std::string_view kOutcomes[] = {"limited", "unreadable", "refused",      "published",
                                          "waiting", "stored",     "store_failed", "unknown"};
constexpr std::string_view kOperations[] = {"admit",  "submit", "find",   "list",
                                            "decide", "newer",  "publish"};

// From a quick answer from memory to a request that waited for the store to its deadline.
const prometheus::Histogram::BucketBoundaries kRequestBuckets = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
    0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};
const prometheus::Histogram::BucketBoundaries kStoreBuckets = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

double Seconds(Clock::duration took) {
  return std::chrono::duration<double>(took).count();
}

// A metric of `family` made at its first use, then found without a lookup. Made twice at once,
// it is the same metric: the family gives the one it has for the same labels.
template <typename T, typename... Args>
T& Once(std::atomic<T*>& slot, prometheus::Family<T>& family, const prometheus::Labels& labels,
        const Args&... args) {
  T* metric = slot.load(std::memory_order_acquire);
  if (metric == nullptr) {
    metric = &family.Add(labels, args...);
    slot.store(metric, std::memory_order_release);
  }
  return *metric;
}

}  // namespace

struct Metrics::Families {
  explicit Families(prometheus::Registry& r)
      : requests(prometheus::BuildCounter()
                     .Name("vettrix_http_requests_total")
                     .Help("Requests answered, by route (as the log names it) and status")
                     .Register(r)),
        latency(prometheus::BuildHistogram()
                    .Name("vettrix_http_request_duration_seconds")
                    .Help("From a request's first byte to its answer sent, by route")
                    .Register(r)),
        refused(prometheus::BuildCounter()
                    .Name("vettrix_http_refused_total")
                    .Help("Requests and connections refused by a limit of the HTTP edge")
                    .Register(r)),
        submissions(prometheus::BuildCounter()
                        .Name("vettrix_submissions_total")
                        .Help("Submissions by form or JSON, by outcome")
                        .Register(r)),
        storeLatency(prometheus::BuildHistogram()
                         .Name("vettrix_store_operation_duration_seconds")
                         .Help("Operations on the store, failed ones included, by operation")
                         .Register(r)),
        storeErrors(prometheus::BuildCounter()
                        .Name("vettrix_store_errors_total")
                        .Help("Operations on the store that failed or passed their deadline")
                        .Register(r)),
        connections(prometheus::BuildGauge()
                        .Name("vettrix_http_connections")
                        .Help("Connections open")
                        .Register(r)),
        database(prometheus::BuildGauge()
                     .Name("vettrix_database_info")
                     .Help("The database served: 1, with its version text")
                     .Register(r)),
        versionNumber(prometheus::BuildGauge()
                          .Name("vettrix_database_version_number")
                          .Help("The version number of the database served (as /dbver)")
                          .Register(r)),
        devices(prometheus::BuildGauge()
                    .Name("vettrix_database_devices")
                    .Help("Devices in the database served")
                    .Register(r)),
        published(prometheus::BuildGauge()
                      .Name("vettrix_database_published_timestamp_seconds")
                      .Help("When the database served was published, in seconds since 1970")
                      .Register(r)),
        age(prometheus::BuildGauge()
                .Name("vettrix_database_age_seconds")
                .Help("Seconds since the database served was published")
                .Register(r)) {
    for (std::size_t i = 0; i < std::size(kLimits); ++i)
      limits[i] = &refused.Add({{"limit", std::string(kLimits[i])}});
    for (std::size_t i = 0; i < std::size(kOutcomes); ++i)
      outcomes[i] = &submissions.Add({{"outcome", std::string(kOutcomes[i])}});
    for (std::size_t i = 0; i < std::size(kOperations); ++i) {
      const prometheus::Labels labels{{"operation", std::string(kOperations[i])}};
      operations[i] = &storeLatency.Add(labels, kStoreBuckets);
      errors[i] = &storeErrors.Add(labels);
    }
    open = &connections.Add({});
    number = &versionNumber.Add({});
    count = &devices.Add({});
    when = &published.Add({});
    old = &age.Add({});
  }

  prometheus::Family<prometheus::Counter>& requests;
  prometheus::Family<prometheus::Histogram>& latency;
  prometheus::Family<prometheus::Counter>& refused;
  prometheus::Family<prometheus::Counter>& submissions;
  prometheus::Family<prometheus::Histogram>& storeLatency;
  prometheus::Family<prometheus::Counter>& storeErrors;
  prometheus::Family<prometheus::Gauge>& connections;
  prometheus::Family<prometheus::Gauge>& database;
  prometheus::Family<prometheus::Gauge>& versionNumber;
  prometheus::Family<prometheus::Gauge>& devices;
  prometheus::Family<prometheus::Gauge>& published;
  prometheus::Family<prometheus::Gauge>& age;

  std::array<prometheus::Counter*, std::size(kLimits)> limits{};
  std::array<prometheus::Counter*, std::size(kOutcomes)> outcomes{};
  std::array<prometheus::Histogram*, std::size(kOperations)> operations{};
  std::array<prometheus::Counter*, std::size(kOperations)> errors{};
  prometheus::Gauge *open, *number, *count, *when, *old;

  // The gauges of a scrape, one scrape at a time.
  std::mutex scrape;
  prometheus::Gauge* info = nullptr;  // of `infoVersion`
  std::string infoVersion;
};

Metrics::Metrics(std::span<const std::string_view> routes)
    : registry_(std::make_unique<prometheus::Registry>()),
      families_(std::make_unique<Families>(*registry_)),
      answers_((routes.size() + 1) * kStatusSlots),
      latencies_(routes.size() + 1) {
  for (const std::string_view route : routes) routes_.emplace_back(route);
  routes_.emplace_back("-");
}

Metrics::~Metrics() = default;

void Metrics::Answered(std::size_t route, int status, Clock::duration took) {
  route = std::min(route, routes_.size() - 1);
  const std::size_t slot = StatusSlot(status);
  Once(answers_[route * kStatusSlots + slot], families_->requests,
       {{"route", routes_[route]},
        {"status", slot < std::size(kStatuses) ? std::to_string(status) : "other"}})
      .Increment();
  Once(latencies_[route], families_->latency, {{"route", routes_[route]}}, kRequestBuckets)
      .Observe(Seconds(took));
}

void Metrics::Refused(Limit limit) {
  families_->limits[static_cast<std::size_t>(limit)]->Increment();
}

void Metrics::Submitted(Outcome outcome) {
  families_->outcomes[static_cast<std::size_t>(outcome)]->Increment();
}

void Metrics::StoreCalled(StoreOperation operation, Clock::duration took, bool failed) {
  const auto i = static_cast<std::size_t>(operation);
  families_->operations[i]->Observe(Seconds(took));
  if (failed) families_->errors[i]->Increment();
}

std::string Metrics::Text(const Published& served, std::int64_t now, std::size_t connections) {
  Families& f = *families_;
  {
    std::lock_guard lock(f.scrape);
    f.open->Set(static_cast<double>(connections));
    if (f.info == nullptr || f.infoVersion != served.versionText) {
      if (f.info != nullptr) f.database.Remove(f.info);
      f.info = &f.database.Add({{"version_text", served.versionText}});
      f.info->Set(1);
      f.infoVersion = served.versionText;
    }
    f.number->Set(std::strtod(served.versionNumber.c_str(), nullptr));
    f.count->Set(served.devices);
    f.when->Set(static_cast<double>(served.published));
    f.old->Set(static_cast<double>(std::max<std::int64_t>(0, now - served.published)));
  }
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

std::string MonitoredStore::NotReady(Clock::duration fresh) const {
  const std::int64_t answered = answered_.load(), failed = failed_.load();
  if (failed > answered) return "the store failed its last operation";
  if (answered == 0) return "the store has not answered yet";
  const auto since = Clock::now().time_since_epoch() - std::chrono::nanoseconds(answered);
  if (since > fresh)
    return "the store has not answered for " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(since).count()) + " s";
  return {};
}

template <typename Call>
auto MonitoredStore::Timed(StoreOperation operation, const Call& call) {
  const auto start = Clock::now();
  const auto done = [&](bool failed) {
    const auto end = Clock::now();
    (failed ? failed_ : answered_).store(end.time_since_epoch().count());
    if (metrics_ != nullptr) metrics_->StoreCalled(operation, end - start, failed);
  };
  try {
    auto result = call();
    done(false);
    return result;
  } catch (const StoreError&) {
    done(true);
    throw;
  }
}

std::optional<std::int64_t> MonitoredStore::Admit(std::string_view client, std::int64_t now,
                                                  int perHour) {
  return Timed(StoreOperation::Admit, [&] { return store_.Admit(client, now, perHour); });
}

Store::Stored MonitoredStore::Submit(const Submission& submission) {
  return Timed(StoreOperation::Submit, [&] { return store_.Submit(submission); });
}

std::optional<Submission> MonitoredStore::Find(std::int64_t id) {
  return Timed(StoreOperation::Find, [&] { return store_.Find(id); });
}

std::vector<Submission> MonitoredStore::List(std::optional<Status> status) {
  return Timed(StoreOperation::List, [&] { return store_.List(status); });
}

Store::Review MonitoredStore::Decide(std::int64_t id, Status decision) {
  return Timed(StoreOperation::Decide, [&] { return store_.Decide(id, decision); });
}

// Asked on every request that reads the database, and answered from memory: not timed.
bool MonitoredStore::MayHaveChanged(const PublicationId& known) {
  return store_.MayHaveChanged(known);
}

std::optional<Publication> MonitoredStore::Newer(const PublicationId& known) {
  return Timed(StoreOperation::Newer, [&] { return store_.Newer(known); });
}

std::string MonitoredStore::Publish(std::string_view bytes, std::int64_t now,
                                    const PublishCheck& check) {
  return Timed(StoreOperation::Publish, [&] { return store_.Publish(bytes, now, check); });
}

std::unique_ptr<Store::Watch> MonitoredStore::WatchPublications(
    const std::function<void()>& changed) {
  return store_.WatchPublications(changed);
}

}  // namespace vettrix::service
