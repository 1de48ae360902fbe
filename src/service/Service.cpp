#include "service/Service.h"

#include <charconv>
#include <nlohmann/json.hpp>

#include "app/Text.h"
#include "cli/RecordFields.h"
#include "service/Log.h"
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

Response JsonError(int status, std::string_view error) {
  return JsonAnswer(status, Json{{"error", error}});
}

Response NotAllowed(std::string_view allowed, bool api) {
  Response response = api ? JsonError(405, "method not allowed")
                          : Message(405, "Method not allowed", "This address does not take it.");
  response.headers.emplace_back("Allow", std::string(allowed));
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
  if (k == 0) return Json{{"tac", tac}, {"error", "not in the database"}};
  const std::string_view line = published.table.Line(k);
  return Json{{"tac", tac},
              {"manufacturer", DisplayText(FieldOf(line, 1))},
              {"model", DisplayText(FieldOf(line, 2))}};
}

}  // namespace

Service::Service(Settings settings, Store& store, Snapshots& snapshots)
    : settings_(std::move(settings)), store_(store), snapshots_(snapshots) {}

std::size_t Service::BodyLimit(std::string_view method, std::string_view path) {
  if (method != "POST") return 0;
  return path.starts_with(kApiPrefix) ? kApiBodyLimit : kFormBodyLimit;
}

bool Service::TouchesStore(std::string_view method, std::string_view path) {
  return (path == "/submit" && method == "POST") || path.starts_with(kSubmissionPrefix);
}

Response Service::Refusal(int status, std::string_view message, std::string_view /*target*/) {
  Response response;
  response.status = status;
  response.contentType = kText;
  response.body = std::string(message) + "\n";
  return response;
}

std::string_view Service::LoggedPath(std::string_view path) {
  // Only the service's own addresses, and those without what someone looked up: an IMEI
  // typed into any other path would otherwise reach the log.
  static constexpr std::string_view kFixed[] = {
      "/",          "/ver",         "/dbver",  "/mobidex.csv", "/mobidex.csv.sha256",
      "/style.css", "/favicon.svg", "/submit", "/api/v1/tac",  "/api/v1/database"};
  for (const std::string_view fixed : kFixed)
    if (path == fixed) return fixed;
  if (path.starts_with("/api/v1/imei/")) return "/api/v1/imei/...";
  if (path.starts_with("/api/v1/tac/")) return "/api/v1/tac/...";
  if (path.starts_with(kSubmissionPrefix)) return "/submissions/...";
  return "(another path)";
}

Response Service::Handle(const Request& request) {
  const std::string_view path = PathOf(request.target);
  Response response = Route(request, path);
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (path.starts_with(kApiPrefix) && get)
    response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  if (request.method == "HEAD") response.headersOnly = true;
  return response;
}

Response Service::Route(const Request& request, std::string_view path) {
  const std::string_view method = request.method;
  const bool get = method == "GET" || method == "HEAD";
  if (path.starts_with(kApiPrefix)) return Api(request, path);
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

Response Service::Submit(const Request& request) {
  if (MediaType(request.contentType) != "application/x-www-form-urlencoded")
    return Message(415, "Unsupported form",
                   "The form must be sent as application/x-www-form-urlencoded.");
  bool submitting = false;  // the submission itself is on its way to the store
  try {
    if (const auto wait = store_.Admit(request.client, request.now, settings_.submissionsPerHour)) {
      Response response =
          Message(429, "Too many submissions",
                  "Your address has sent " + std::to_string(settings_.submissionsPerHour) +
                      " submissions within the hour; please try again in " +
                      std::to_string((*wait + 59) / 60) + " minutes.");
      response.headers.emplace_back("Retry-After", std::to_string(*wait));
      return response;
    }
    const std::optional<Fields> fields = ParseFields(request.body);
    if (!fields) return Message(400, "Bad request", "The form is not properly encoded.");
    const SubmissionForm form = ReadSubmission(*fields);
    if (!form.Ok()) return Page(400, RefusedPage(form));

    const std::shared_ptr<const Published> published = snapshots_.Current();
    const std::string_view line = published->table.Line(published->table.FindDevice(form.tac));
    if (!line.empty() && FieldOf(line, 1) == form.manufacturer && FieldOf(line, 2) == form.model)
      return Page(200, PublishedAlreadyPage(*published, form));

    Submission submission{0,           form.tac,  form.manufacturer, form.model,
                          form.source, form.note, Status::Pending,   request.now};
    submitting = true;
    const Store::Stored stored = store_.Submit(submission);
    if (!stored.isNew) {
      submission.id = stored.id;
      return Page(200, SubmissionPage(submission, true));
    }
    Response response = Message(303, "Submission received", "Thank you.");
    response.headers.emplace_back("Location",
                                  std::string(kSubmissionPrefix) + std::to_string(stored.id));
    return response;
  } catch (const StoreError& e) {
    const bool unknown = submitting && e.OutcomeUnknown();
    Log(std::string(unknown ? "a submission may or may not have been stored: "
                            : "a submission could not be stored: ") +
        e.what());
    Response response =
        unknown ? Message(503, "Outcome unknown",
                          "The database stopped answering as your submission was being kept, so "
                          "it may have been stored or not. Sending it again is safe: if it was "
                          "kept, you are shown its reference number.")
                : Message(503, "Not stored",
                          "The submission could not be stored just now, and nothing was kept. "
                          "Please send it again in a minute.");
    response.headers.emplace_back("Retry-After", "60");
    return response;
  }
}

Response Service::ShowSubmission(std::string_view id) {
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
  if (id.empty() || error != std::errc() || end != id.data() + id.size() || number <= 0)
    return Message(404, "Not found", "There is no submission with this number.");
  try {
    const std::optional<Submission> found = store_.Find(number);
    if (!found) return Message(404, "Not found", "There is no submission with this number.");
    return Page(200, SubmissionPage(*found, false));
  } catch (const StoreError& e) {
    Log(std::string("a submission could not be read: ") + e.what());
    Response response = Message(503, "Unavailable", "Please try again in a minute.");
    response.headers.emplace_back("Retry-After", "60");
    return response;
  }
}

Response Service::Api(const Request& request, std::string_view path) {
  const std::string_view method = request.method;
  const bool get = method == "GET" || method == "HEAD";
  const std::string_view rest = path.substr(kApiPrefix.size());
  if (rest == "tac") {
    if (method != "POST") return NotAllowed("POST", true);
    if (MediaType(request.contentType) != kJsonType) return JsonError(415, "send application/json");
    const JsonShape shape = ShapeOf(request.body);
    if (shape.depth > kMaxJsonDepth) return JsonError(400, "the JSON nests too deep");
    if (shape.values > kMaxJsonValues)
      return JsonError(413, "the JSON holds too many values: at most 1000 TACs a request");
    const InputJson body = InputJson::parse(request.body, nullptr, false);
    if (body.is_discarded()) return JsonError(400, "the body is not valid JSON");
    if (!body.is_object() || !body.contains("tacs") || !body["tacs"].is_array())
      return JsonError(400, "send {\"tacs\": [...]}");
    const InputJson& tacs = body["tacs"];
    if (tacs.empty()) return JsonError(400, "send 1 to 1000 TACs");
    if (tacs.size() > kMaxTacsPerRequest) return JsonError(413, "at most 1000 TACs a request");
    const std::shared_ptr<const Published> published = snapshots_.Current();
    Json results = Json::array();
    for (const InputJson& tac : tacs) {
      if (!tac.is_string() || !IsTac(tac.get_ref<const std::string&>())) {
        results.push_back(Json{{"tac", Echo(tac)}, {"error", "a TAC is 8 digits"}});
      } else {
        results.push_back(DeviceJson(*published, tac.get_ref<const std::string&>()));
      }
    }
    return JsonAnswer(200, Json{{"results", std::move(results)}});
  }
  if (!get) return NotAllowed("GET, HEAD", true);
  if (rest == "database") {
    const std::shared_ptr<const Published> published = snapshots_.Current();
    return JsonAnswer(200, Json{{"version_text", published->versionText},
                                {"version_number", published->versionNumber},
                                {"devices", published->devices},
                                {"sha256", published->sha256},
                                {"published", published->publishedText}});
  }
  for (const std::string_view prefix : {std::string_view("imei/"), std::string_view("tac/")}) {
    if (!rest.starts_with(prefix)) continue;
    const std::optional<std::string> text = PercentDecode(rest.substr(prefix.size()), false);
    if (!text) return JsonError(400, "the address is not properly encoded");
    if (!IsValidUtf8(*text)) return JsonError(400, "the text is not valid UTF-8");
    const std::shared_ptr<const Published> published = snapshots_.Current();
    if (prefix == "tac/") {
      if (!IsTac(*text)) return JsonError(400, "a TAC is 8 digits");
      Json device = DeviceJson(*published, *text);
      return JsonAnswer(device.contains("error") ? 404 : 200, device);
    }
    if (text->empty()) return JsonError(400, "give the text to check after /api/v1/imei/");
    cli::Checker checker(&published->table, false);
    Response response;
    response.contentType = kJsonType;
    response.body = cli::JsonRecord(*text, checker, published->table);
    return response;
  }
  return JsonError(404, "no such API address");
}

}  // namespace vettrix::service
