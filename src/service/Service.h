#pragma once

// The web service's answers: one function from a request to its response, over the core (the
// same normaliser, verdict, reporting bodies, reader and lookup as the window) and the store.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/Branding.h"
#include "service/Http.h"
#include "service/Metrics.h"
#include "service/Published.h"
#include "service/Store.h"

namespace vettrix::service {

inline constexpr std::size_t kFormBodyLimit = 64 << 10;  // a submission, by form or JSON
inline constexpr std::size_t kApiBodyLimit = 1 << 20;
inline constexpr std::size_t kMaxBatchItems = 1000;  // TACs or IMEIs in one request
// What a JSON body may hold before it is parsed: arrays and objects nested so deep, and so many
// values and members in all (a batch's items and a few besides).
inline constexpr std::size_t kMaxJsonDepth = 4;
inline constexpr std::size_t kMaxJsonValues = kMaxBatchItems + 24;

// Headers every answer carries: the pages run no script and take no style but their own, are
// never framed, and give no one a referrer; nothing is sniffed into another type.
inline constexpr std::pair<std::string_view, std::string_view> kCommonHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
     "base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};
// Unless an answer says otherwise: a client asks again before it uses a copy it kept.
inline constexpr std::string_view kDefaultCacheControl = "no-cache";

struct Settings {
  std::string programVersion{kProgramVersionNumber};  // what /ver publishes
  int submissionsPerHour = 20;                        // from one client address
};

class Service {
 public:
  // `metrics`, when given, counts the submissions by outcome.
  Service(Settings settings, Store& store, Snapshots& snapshots, Metrics* metrics = nullptr);

  Response Handle(const Request& request);

  // The most a request to `path` with `method` may carry in its body.
  static std::size_t BodyLimit(std::string_view method, std::string_view path);
  // The routes as the log and the metrics name them: the service's own addresses, those that
  // end in a text without it (a text looked up is no one's business, and would make a metric of
  // its own), and any other path as one. The health checks and the metrics are the edge's.
  static constexpr std::string_view kRoutes[] = {"/",
                                                 "/ver",
                                                 "/dbver",
                                                 "/mobidex.csv",
                                                 "/mobidex.csv.sha256",
                                                 "/style.css",
                                                 "/favicon.svg",
                                                 "/submit",
                                                 "/healthz",
                                                 "/readyz",
                                                 "/metrics",
                                                 "/api/v1/",
                                                 "/api/v1/openapi.json",
                                                 "/api/v1/tac",
                                                 "/api/v1/imei",
                                                 "/api/v1/database",
                                                 "/api/v1/submissions",
                                                 "/api/v1/imei/...",
                                                 "/api/v1/tac/...",
                                                 "/api/v1/submissions/...",
                                                 "/submissions/...",
                                                 "(another path)"};
  // The index in kRoutes of the route of `path`.
  static std::size_t RouteOf(std::string_view path);
  // The path as a log line shows it.
  static std::string_view LoggedPath(std::string_view path);
  // Whether the answer to a request touches the store, which may stall: such requests are
  // answered off the serving threads. The one place that decides it.
  static bool TouchesStore(std::string_view method, std::string_view path);
  // Every answer the HTTP edge gives of its own (a request too large or malformed, the service
  // busy, a handler that failed): JSON with a code for its status under /api/ or when the target
  // could not be read, plain text elsewhere. `target` is the request's when it is known.
  static Response Refusal(int status, std::string_view message, std::string_view target);

 private:
  struct Received;

  Response Route(const Request& request, std::string_view path);
  Response Lookup(const Request& request);
  Response Submit(const Request& request);
  Response ShowSubmission(std::string_view id);
  Response Database(const Request& request);
  Response Api(const Request& request, std::string_view path);
  Response CheckImeis(const Request& request);
  Response LookUpTacs(const Request& request);
  Response SubmitJson(const Request& request);
  Response SubmissionJson(std::string_view id);
  // A submission by the rules, the published database and the store, whether it came by form
  // or by JSON: the client's hourly limit, then `parse` of the body, the rules, and the store.
  // Throws StoreError; `submitting` tells whether the submission itself was on its way to the
  // store then (so that a lost answer may mean it was kept).
  Received Receive(const Request& request,
                   const std::function<std::optional<Fields>(std::string_view body)>& parse,
                   bool& submitting);
  std::optional<Submission> FindSubmission(std::string_view id);

  Settings settings_;
  Store& store_;
  Snapshots& snapshots_;
  Metrics* metrics_;
  std::string index_;  // GET /api/v1/, made from the API's document
};

}  // namespace vettrix::service
