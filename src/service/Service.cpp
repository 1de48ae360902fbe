#include "service/Service.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <variant>

#include "app/Text.h"
#include "cli/RecordFields.h"
#include "service/Log.h"
#include "service/OpenApi.h"
#include "service/Pages.h"
#include "service/SubmissionForm.h"

namespace vettrix::service {
namespace {

using Json = nlohmann::ordered_json;  // keys in the order written
// What a client sent: its members found by a tree, so that reading it stays linear.
using InputJson = nlohmann::json;

constexpr std::string_view kHtml = "text/html; charset=utf-8";
constexpr std::string_view kText = "text/plain; charset=utf-8";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kApiPrefix = "/api/v1/";
constexpr std::string_view kSubmissionPrefix = "/submissions/";
constexpr std::string_view kGet = "GET, HEAD";
constexpr std::string_view kPost = "POST";

// The addresses of the API (after kApiPrefix; `prefix`: a text follows) and the methods each
// takes. Every one is a lookup that pages on other sites may call, but the JSON form.
struct ApiAddress {
  std::string_view rest;
  bool prefix;
  std::string_view methods;
};
constexpr ApiAddress kApiAddresses[] = {
    {"", false, kGet},      {"openapi.json", false, kGet}, {"database", false, kGet},
    {"imei/", true, kGet},  {"tac/", true, kGet},          {"submissions/", true, kGet},
    {"imei", false, kPost}, {"tac", false, kPost},         {"submissions", false, kPost}};
constexpr std::string_view kSubmissionsJson = "submissions";
constexpr std::string_view kSubmissionsPath = "/api/v1/submissions";

const ApiAddress* FindApiAddress(std::string_view path) {
  if (!path.starts_with(kApiPrefix)) return nullptr;
  const std::string_view rest = path.substr(kApiPrefix.size());
  for (const ApiAddress& address : kApiAddresses)
    if (address.prefix ? rest.starts_with(address.rest) : rest == address.rest) return &address;
  return nullptr;
}

bool IsApi(std::string_view path) {
  return path == "/api" || path.starts_with("/api/");
}

// Whether a page on another site may read the answers of `path`: every lookup, never a
// submission or a page.
bool SharedAcrossSites(std::string_view path) {
  return IsApi(path) && path != kSubmissionsPath;
}

Response Page(int status, std::string body) {
  Response response;
  response.status = status;
  response.contentType = kHtml;
  response.body = std::move(body);
  return response;
}

Response Message(int status, std::string_view title, std::string_view message) {
  return Page(status, MessagePage(title, message));
}

Response Plain(std::string body) {
  Response response;
  response.contentType = kText;
  response.body = std::move(body);
  return response;
}

Response JsonAnswer(int status, const Json& value) {
  Response response;
  response.status = status;
  response.contentType = kJsonType;
  response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

// An error of the API: its text for people and its code for scripts, which never changes
// meaning (the API's document lists them).
Response JsonError(int status, std::string_view code, std::string_view error) {
  return JsonAnswer(status, Json{{"error", error}, {"code", code}});
}

Response NotAllowed(std::string_view allowed, bool api) {
  Response response = api ? JsonError(405, "method_not_allowed", "method not allowed")
                          : Message(405, "Method not allowed", "This address does not take it.");
  response.headers.emplace_back("Allow", std::string(allowed));
  return response;
}

Response RetryLater(Response response, std::int64_t seconds) {
  response.headers.emplace_back("Retry-After", std::to_string(seconds));
  return response;
}

// What a browser asks before a page on another site sends what a form could not.
Response Preflight(std::string_view methods) {
  Response response;
  response.status = 204;
  response.headers.emplace_back("Access-Control-Allow-Methods", std::string(methods));
  response.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
  // Chromium keeps a preflight two hours at most.
  response.headers.emplace_back("Access-Control-Max-Age", "7200");
  response.headers.emplace_back("Allow", std::string(methods) + ", OPTIONS");
  return response;
}

// The media type alone, without parameters, in lower case.
std::string MediaType(std::string_view contentType) {
  std::string type(contentType.substr(0, contentType.find(';')));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

// Whether the ETag `etag` is among those of an If-None-Match header ("*" matches any).
bool Matches(std::string_view ifNoneMatch, std::string_view etag) {
  while (!ifNoneMatch.empty()) {
    const std::size_t comma = ifNoneMatch.find(',');
    std::string_view tag = ifNoneMatch.substr(0, comma);
    ifNoneMatch =
        comma == std::string_view::npos ? std::string_view() : ifNoneMatch.substr(comma + 1);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
    if (tag.starts_with("W/")) tag.remove_prefix(2);  // compared weakly, as for If-None-Match
    if (tag == "*" || tag == etag) return true;
  }
  return false;
}

// How deep arrays and objects nest in a JSON text, and how many values and members they hold
// (strings aside): a body is refused on these before a parser spends anything on it.
struct JsonShape {
  std::size_t depth = 0;
  std::size_t values = 0;
};

JsonShape ShapeOf(std::string_view text) {
  JsonShape shape;
  std::size_t depth = 0;
  bool inString = false, escaped = false, empty = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (empty && c != ']' && c != '}') ++shape.values;  // the first of a container
    empty = false;
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      shape.depth = std::max(shape.depth, ++depth);
      empty = true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    } else if (c == ',') {
      ++shape.values;
    }
  }
  return shape;
}

// A value the client sent, as an answer repeats it.
Json Echo(const InputJson& value) {
  return value.is_string()
             ? Json(value.get_ref<const std::string&>())
             : Json::parse(value.dump(-1, ' ', false, InputJson::error_handler_t::replace));
}

Json DeviceJson(const Published& published, std::string_view tac) {
  const int k = published.table.FindDevice(tac);
  if (k == 0)
    return Json{{"tac", tac}, {"error", "not in the database"}, {"code", "not_in_database"}};
  const std::string_view line = published.table.Line(k);
  return Json{{"tac", tac},
              {"manufacturer", DisplayText(FieldOf(line, 1))},
              {"model", DisplayText(FieldOf(line, 2))}};
}

// A JSON body's problem before it is parsed: nested too deep, or more values than any answer
// takes (the items of a batch and a few besides); empty when it may be parsed.
std::optional<Response> OverShape(std::string_view body) {
  const JsonShape shape = ShapeOf(body);
  if (shape.depth > kMaxJsonDepth) return JsonError(400, "too_deep", "the JSON nests too deep");
  if (shape.values > kMaxJsonValues)
    return JsonError(413, "too_many_items",
                     "the JSON holds too many values: at most " + std::to_string(kMaxBatchItems) +
                         " items a request");
  return std::nullopt;
}

// The list `name` of a batch's JSON body, as every batch takes it: 1 to kMaxBatchItems items of
// `what`; or the error answer.
std::variant<InputJson, Response> BatchItems(const Request& request, std::string_view name,
                                             std::string_view what) {
  if (MediaType(request.contentType) != kJsonType)
    return JsonError(415, "unsupported_media_type", "send application/json");
  if (auto refused = OverShape(request.body)) return std::move(*refused);
  InputJson body = InputJson::parse(request.body, nullptr, false);
  if (body.is_discarded()) return JsonError(400, "not_json", "the body is not valid JSON");
  const std::string key(name);
  if (!body.is_object() || !body.contains(key) || !body[key].is_array())
    return JsonError(400, "bad_shape", "send {\"" + key + "\": [...]}");
  if (body[key].empty())
    return JsonError(400, "empty_list",
                     "send 1 to " + std::to_string(kMaxBatchItems) + " " + std::string(what));
  if (body[key].size() > kMaxBatchItems)
    return JsonError(
        413, "too_many_items",
        "at most " + std::to_string(kMaxBatchItems) + " " + std::string(what) + " a request");
  return std::move(body[key]);
}

// Logs a submission that the store failed; whether it may have been kept all the same (its
// commit's answer was lost), so that no one is told that nothing was kept when it may have been.
bool NotStored(const StoreError& e, bool submitting, Metrics* metrics) {
  const bool unknown = submitting && e.OutcomeUnknown();
  if (metrics != nullptr) metrics->Submitted(unknown ? Outcome::Unknown : Outcome::StoreFailed);
  Log(std::string(unknown ? "a submission may or may not have been stored: "
                          : "a submission could not be stored: ") +
      e.what());
  return unknown;
}

// The public fields of a submission: not its source or note, which are the reviewer's.
Json PublicJson(const Submission& s) {
  return Json{{"id", s.id},
              {"tac", s.tac},
              {"manufacturer", s.manufacturer},
              {"model", s.model},
              {"status", StatusName(s.status)}};
}

// GET /api/v1/: where the API's document is, and each address it describes with its methods.
std::string MakeIndex() {
  const Json document = Json::parse(kOpenApiJson);
  Json paths = Json::object();
  for (const auto& [path, item] : document["paths"].items()) {
    Json methods = Json::array();
    for (const auto& [key, value] : item.items()) {
      if (key == "parameters") continue;
      std::string method = key;
      for (char& c : method) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      methods.push_back(method);
    }
    paths[path] = std::move(methods);
  }
  return Json{{"title", document["info"]["title"]},
              {"version", document["info"]["version"]},
              {"openapi", std::string(kApiPrefix) + "openapi.json"},
              {"paths", std::move(paths)}}
      .dump();
}

}  // namespace

struct Service::Received {
  Outcome outcome;        // from Limited to Stored: a store that fails throws
  std::int64_t wait = 0;  // Limited: seconds until the client may submit again
  SubmissionForm form;
  std::shared_ptr<const Published> published;  // from Refused on: what the form was checked against
  Submission submission;                       // Waiting: the one pending; Stored: as stored
};

Service::Service(Settings settings, Store& store, Snapshots& snapshots, Metrics* metrics)
    : settings_(std::move(settings)),
      store_(store),
      snapshots_(snapshots),
      metrics_(metrics),
      index_(MakeIndex()) {}

std::size_t Service::BodyLimit(std::string_view method, std::string_view path) {
  if (method != "POST") return 0;
  if (path == kSubmissionsPath) return kFormBodyLimit;
  return path.starts_with(kApiPrefix) ? kApiBodyLimit : kFormBodyLimit;
}

bool Service::TouchesStore(std::string_view method, std::string_view path) {
  return (path == "/submit" && method == "POST") ||
         (path == kSubmissionsPath && method == "POST") || path.starts_with(kSubmissionPrefix) ||
         path.starts_with("/api/v1/submissions/");
}

Response Service::Refusal(int status, std::string_view message, std::string_view target) {
  const std::string_view path = PathOf(target);
  Response response;
  response.status = status;
  if (IsApi(path) || target.empty()) {
    const std::string_view code = status == 413   ? "body_too_large"
                                  : status == 431 ? "headers_too_large"
                                  : status == 503 ? "busy"
                                  : status >= 500 ? "internal_error"
                                                  : "malformed_request";
    response = JsonError(status, code, message);
    if (SharedAcrossSites(path)) response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  } else {
    response.contentType = kText;
    response.body = std::string(message) + "\n";
  }
  return response;
}

std::size_t Service::RouteOf(std::string_view path) {
  // The service's own addresses, then those that end in a text (its prefix), then any other.
  constexpr std::size_t kFixed = std::size(kRoutes) - 5;
  for (std::size_t i = 0; i < kFixed; ++i)
    if (path == kRoutes[i]) return i;
  for (std::size_t i = kFixed; i + 1 < std::size(kRoutes); ++i)
    if (path.starts_with(kRoutes[i].substr(0, kRoutes[i].size() - 3))) return i;
  return std::size(kRoutes) - 1;
}

std::string_view Service::LoggedPath(std::string_view path) {
  return kRoutes[RouteOf(path)];
}

Response Service::Handle(const Request& request) {
  const std::string_view path = PathOf(request.target);
  Response response = Route(request, path);
  if (SharedAcrossSites(path)) response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  if (request.method == "HEAD") response.headersOnly = true;
  return response;
}

Response Service::Route(const Request& request, std::string_view path) {
  const std::string_view method = request.method;
  const bool get = method == "GET" || method == "HEAD";
  if (IsApi(path)) return Api(request, path);
  if (path == "/submit") return method == "POST" ? Submit(request) : NotAllowed("POST", false);
  if (!get) return NotAllowed("GET, HEAD", false);

  if (path == "/") return Lookup(request);
  if (path == "/ver") return Plain(settings_.programVersion + "\r\n");
  if (path == "/style.css" || path == "/favicon.svg") {
    Response response;
    response.contentType = path == "/style.css" ? "text/css; charset=utf-8" : "image/svg+xml";
    response.body = path == "/style.css" ? kStyleSheet : kIcon;
    response.headers.emplace_back("Cache-Control", "max-age=86400");
    return response;
  }
  if (path.starts_with(kSubmissionPrefix))
    return ShowSubmission(path.substr(kSubmissionPrefix.size()));
  if (path == "/dbver" || path == "/mobidex.csv" || path == "/mobidex.csv.sha256")
    return Database(request);
  return Message(404, "Not found", "There is no page at this address.");
}

Response Service::Database(const Request& request) {
  const std::shared_ptr<const Published> published = snapshots_.Current();
  const std::string_view path = PathOf(request.target);
  if (path == "/dbver") return Plain(published->versionNumber + "\r\n");
  if (path == "/mobidex.csv.sha256") return Plain(published->sha256 + "  mobidex.csv\n");
  Response response;
  response.headers.emplace_back("ETag", published->etag);
  response.headers.emplace_back("Last-Modified", published->lastModified);
  if (Matches(request.ifNoneMatch, published->etag)) {
    response.status = 304;
    return response;
  }
  response.contentType = "text/csv; charset=utf-8";
  response.sharedBody = published->table.Contents();
  response.keepAlive = published;
  return response;
}

Response Service::Lookup(const Request& request) {
  const std::optional<Fields> query = ParseFields(QueryOf(request.target));
  if (!query) return Message(400, "Bad request", "The address is not properly encoded.");
  std::string_view input;
  for (const auto& [name, value] : *query) {
    if (name == "imei") {
      input = value;
      break;
    }
  }
  if (!IsValidUtf8(input))
    return Message(400, "Bad request", "What was looked up is not valid UTF-8 text.");
  const std::shared_ptr<const Published> published = snapshots_.Current();
  if (input.empty()) return Page(200, HomePage(*published));
  cli::Checker checker(&published->table, false);
  return Page(200, LookupPage(*published, input, checker.Check(input)));
}

Service::Received Service::Receive(
    const Request& request,
    const std::function<std::optional<Fields>(std::string_view body)>& parse, bool& submitting) {
  Received received{};
  if (const auto wait = store_.Admit(request.client, request.now, settings_.submissionsPerHour)) {
    received.outcome = Outcome::Limited;
    received.wait = *wait;
    return received;
  }
  const std::optional<Fields> fields = parse(request.body);
  if (!fields) {
    received.outcome = Outcome::Unreadable;
    return received;
  }
  received.form = ReadSubmission(*fields);
  const SubmissionForm& form = received.form;
  if (!form.Ok()) {
    received.outcome = Outcome::Refused;
    return received;
  }
  received.published = snapshots_.Current();
  const DeviceTable& table = received.published->table;
  const std::string_view line = table.Line(table.FindDevice(form.tac));
  if (!line.empty() && FieldOf(line, 1) == form.manufacturer && FieldOf(line, 2) == form.model) {
    received.outcome = Outcome::Published;
    return received;
  }
  received.submission = Submission{0,           form.tac,  form.manufacturer, form.model,
                                   form.source, form.note, Status::Pending,   request.now};
  submitting = true;
  const Store::Stored stored = store_.Submit(received.submission);
  received.submission.id = stored.id;
  received.outcome = stored.isNew ? Outcome::Stored : Outcome::Waiting;
  if (!stored.isNew) {
    if (std::optional<Submission> pending = store_.Find(stored.id))
      received.submission = std::move(*pending);
  }
  return received;
}

Response Service::Submit(const Request& request) {
  if (MediaType(request.contentType) != "application/x-www-form-urlencoded")
    return Message(415, "Unsupported form",
                   "The form must be sent as application/x-www-form-urlencoded.");
  bool submitting = false;
  try {
    const Received received = Receive(request, ParseFields, submitting);
    if (metrics_ != nullptr) metrics_->Submitted(received.outcome);
    switch (received.outcome) {
      case Outcome::Limited:
        return RetryLater(
            Message(429, "Too many submissions",
                    "Your address has sent " + std::to_string(settings_.submissionsPerHour) +
                        " submissions within the hour; please try again in " +
                        std::to_string((received.wait + 59) / 60) + " minutes."),
            received.wait);
      case Outcome::Unreadable:
        return Message(400, "Bad request", "The form is not properly encoded.");
      case Outcome::Refused:
        return Page(400, RefusedPage(received.form));
      case Outcome::Published:
        return Page(200, PublishedAlreadyPage(*received.published, received.form));
      case Outcome::Waiting:
        return Page(200, SubmissionPage(received.submission, true));
      case Outcome::Stored:
      case Outcome::StoreFailed:
      case Outcome::Unknown:
        break;
    }
    Response response = Message(303, "Submission received", "Thank you.");
    response.headers.emplace_back(
        "Location", std::string(kSubmissionPrefix) + std::to_string(received.submission.id));
    return response;
  } catch (const StoreError& e) {
    return RetryLater(NotStored(e, submitting, metrics_)
                          ? Message(503, "Outcome unknown",
                                    "The database stopped answering as your submission was being "
                                    "kept, so it may have been stored or not. Sending it again is "
                                    "safe: if it was kept, you are shown its reference number.")
                          : Message(503, "Not stored",
                                    "The submission could not be stored just now, and nothing was "
                                    "kept. Please send it again in a minute."),
                      60);
  }
}

Response Service::SubmitJson(const Request& request) {
  if (MediaType(request.contentType) != kJsonType)
    return JsonError(415, "unsupported_media_type", "send application/json");
  std::string_view code = "not_json", problem = "the body is not valid JSON";
  // The fields the form has, each a string when given; anything else is ignored, as the form
  // ignores fields it does not know.
  const auto parse = [&](std::string_view body) -> std::optional<Fields> {
    const JsonShape shape = ShapeOf(body);
    if (shape.depth > kMaxJsonDepth || shape.values > kMaxJsonValues) {
      code = "too_deep", problem = "the JSON nests too deep or holds too many values";
      return std::nullopt;
    }
    const InputJson json = InputJson::parse(body, nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    code = "bad_shape";
    problem = "send an object of texts: tac, manufacturer, model, source and, if you like, note";
    if (!json.is_object()) return std::nullopt;
    Fields fields;
    for (const char* name : {"tac", "manufacturer", "model", "source", "note"}) {
      const auto it = json.find(name);
      if (it == json.end()) continue;
      if (!it->is_string()) return std::nullopt;
      fields.emplace_back(name, it->get<std::string>());
    }
    return fields;
  };
  bool submitting = false;
  try {
    const Received received = Receive(request, parse, submitting);
    if (metrics_ != nullptr) metrics_->Submitted(received.outcome);
    switch (received.outcome) {
      case Outcome::Limited:
        return RetryLater(
            JsonError(429, "too_many_submissions",
                      "this address has made " + std::to_string(settings_.submissionsPerHour) +
                          " submission attempts within the hour; try again in " +
                          std::to_string((received.wait + 59) / 60) + " minutes"),
            received.wait);
      case Outcome::Unreadable:
        return JsonError(400, code, problem);
      case Outcome::Refused: {
        Json answer{{"error", "some fields were refused; nothing was stored"},
                    {"code", "invalid_fields"},
                    {"fields", Json::object()}};
        for (const auto& [name, reason] : received.form.errors) answer["fields"][name] = reason;
        return JsonAnswer(400, answer);
      }
      case Outcome::Published:
        return JsonError(409, "already_published",
                         "the published database names this device already; nothing was stored");
      case Outcome::Waiting:
      case Outcome::Stored:
      case Outcome::StoreFailed:
      case Outcome::Unknown:
        break;
    }
    const std::int64_t id = received.submission.id;
    Response response = JsonAnswer(received.outcome == Outcome::Stored ? 201 : 200,
                                   Json{{"id", id}, {"status", StatusName(Status::Pending)}});
    if (received.outcome == Outcome::Stored)
      response.headers.emplace_back("Location",
                                    std::string(kApiPrefix) + "submissions/" + std::to_string(id));
    return response;
  } catch (const StoreError& e) {
    return RetryLater(NotStored(e, submitting, metrics_)
                          ? JsonError(503, "outcome_unknown",
                                      "the database stopped answering as the submission was being "
                                      "kept, so it may have been stored or not; sending it again "
                                      "is safe: if it was kept, its id is given")
                          : JsonError(503, "store_unavailable",
                                      "the submission could not be stored just now, and nothing "
                                      "was kept; send it again in a minute"),
                      60);
  }
}

std::optional<Submission> Service::FindSubmission(std::string_view id) {
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
  if (id.empty() || error != std::errc() || end != id.data() + id.size() || number <= 0)
    return std::nullopt;
  return store_.Find(number);
}

Response Service::ShowSubmission(std::string_view id) {
  try {
    const std::optional<Submission> found = FindSubmission(id);
    if (!found) return Message(404, "Not found", "There is no submission with this number.");
    return Page(200, SubmissionPage(*found, false));
  } catch (const StoreError& e) {
    Log(std::string("a submission could not be read: ") + e.what());
    return RetryLater(Message(503, "Unavailable", "Please try again in a minute."), 60);
  }
}

Response Service::SubmissionJson(std::string_view id) {
  try {
    const std::optional<Submission> found = FindSubmission(id);
    if (!found)
      return JsonError(404, "no_such_submission", "there is no submission with this number");
    return JsonAnswer(200, PublicJson(*found));
  } catch (const StoreError& e) {
    Log(std::string("a submission could not be read: ") + e.what());
    return RetryLater(JsonError(503, "store_unavailable", "try again in a minute"), 60);
  }
}

Response Service::LookUpTacs(const Request& request) {
  auto items = BatchItems(request, "tacs", "TACs");
  if (Response* refused = std::get_if<Response>(&items)) return std::move(*refused);
  const std::shared_ptr<const Published> published = snapshots_.Current();
  Json results = Json::array();
  for (const InputJson& tac : std::get<InputJson>(items)) {
    if (!tac.is_string() || !IsTac(tac.get_ref<const std::string&>())) {
      results.push_back(
          Json{{"tac", Echo(tac)}, {"error", "a TAC is 8 digits"}, {"code", "bad_tac"}});
    } else {
      results.push_back(DeviceJson(*published, tac.get_ref<const std::string&>()));
    }
  }
  return JsonAnswer(200, Json{{"results", std::move(results)}});
}

Response Service::CheckImeis(const Request& request) {
  auto items = BatchItems(request, "imeis", "IMEIs");
  if (Response* refused = std::get_if<Response>(&items)) return std::move(*refused);
  const std::shared_ptr<const Published> published = snapshots_.Current();
  cli::Checker checker(&published->table, false);
  Response response;
  response.contentType = kJsonType;
  std::string& body = response.body;
  body = "{\"results\":";
  {
    // The records as the command line writes a JSON array of them, each the one GET gives.
    cli::Output out(body);
    cli::RecordWriter writer(out, cli::Format::Json, cli::kInputColumns);
    cli::RecordFields fields;
    writer.Begin();
    for (const InputJson& item : std::get<InputJson>(items)) {
      if (item.is_string()) {
        writer.Write(fields.Of(checker.Check(item.get_ref<const std::string&>()), checker,
                               published->table, writer));
        continue;
      }
      out.Put(writer.RecordStart());
      out.Put("\"input\":");
      out.Put(item.dump(-1, ' ', false, InputJson::error_handler_t::replace));
      out.Put(R"(,"error":"an IMEI is sent as a JSON string","code":"not_a_text"})");
      writer.Written();
    }
    writer.End();
    out.Flush();
  }
  body += '}';
  return response;
}

Response Service::Api(const Request& request, std::string_view path) {
  const std::string_view method = request.method;
  const ApiAddress* address = FindApiAddress(path);
  if (address == nullptr) return JsonError(404, "not_found", "no such API address");
  if (method == "OPTIONS" && SharedAcrossSites(path)) return Preflight(address->methods);
  if (address->methods == kPost ? method != "POST" : method != "GET" && method != "HEAD")
    return NotAllowed(SharedAcrossSites(path) ? std::string(address->methods) + ", OPTIONS"
                                              : std::string(address->methods),
                      true);
  const std::string_view rest = path.substr(kApiPrefix.size());
  if (rest == "tac") return LookUpTacs(request);
  if (rest == "imei") return CheckImeis(request);
  if (rest == kSubmissionsJson) return SubmitJson(request);
  if (rest.empty() || rest == "openapi.json") {
    Response response;
    response.contentType = kJsonType;
    if (rest.empty()) {
      response.body = index_;
    } else {
      // The program's own text: a pointer that owns nothing keeps it.
      response.sharedBody = kOpenApiJson;
      response.keepAlive =
          std::shared_ptr<const void>(std::shared_ptr<void>(), kOpenApiJson.data());
    }
    return response;
  }
  if (rest == "database") {
    const std::shared_ptr<const Published> published = snapshots_.Current();
    return JsonAnswer(200, Json{{"version_text", published->versionText},
                                {"version_number", published->versionNumber},
                                {"devices", published->devices},
                                {"sha256", published->sha256},
                                {"published", published->publishedText}});
  }
  if (rest.starts_with("submissions/"))
    return SubmissionJson(rest.substr(std::string_view("submissions/").size()));
  const std::string_view prefix = address->rest;  // "imei/" or "tac/"
  const std::optional<std::string> text = PercentDecode(rest.substr(prefix.size()), false);
  if (!text) return JsonError(400, "bad_encoding", "the address is not properly encoded");
  if (!IsValidUtf8(*text)) return JsonError(400, "not_utf8", "the text is not valid UTF-8");
  const std::shared_ptr<const Published> published = snapshots_.Current();
  if (prefix == "tac/") {
    if (!IsTac(*text)) return JsonError(400, "bad_tac", "a TAC is 8 digits");
    Json device = DeviceJson(*published, *text);
    return JsonAnswer(device.contains("error") ? 404 : 200, device);
  }
  if (text->empty()) return JsonError(400, "no_text", "give the text to check after /api/v1/imei/");
  cli::Checker checker(&published->table, false);
  Response response;
  response.contentType = kJsonType;
  response.body = cli::JsonRecord(*text, checker, published->table);
  return response;
}

}  // namespace vettrix::service
