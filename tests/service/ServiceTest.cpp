// The service's answers, request by request, without a socket: a real store in a temporary folder
// and the handlers as the HTTP edge calls them. Every text from a request or the database comes
// back escaped; every rule of a submission holds; the API answers with the right status.

#include "service/Service.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "app/Text.h"
#include "core/FakePlatform.h"
#include "service/SqliteStore.h"
#include "service/StoreTest.h"

namespace vettrix::service {
namespace {

using Json = nlohmann::json;

// Names that are markup and script, a quote to break out of an attribute, and Latin-1 bytes.
const std::string kDatabase =
    "35209900,Alcatel,One Touch 332\r\n"
    "12345678,<script>alert(1)</script>,\"><img src=x onerror=alert(2)>\r\n"
    "49015420,Nok\xE9"
    "a,3110\r\n"
    "VERSION_,v1.26.1206,Test\r\n";

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() {
    EXPECT_TRUE(store.Publish(kDatabase, 1'700'000'000, [](auto) { return Result<void>(); }));
    snapshots.emplace(store);
    service.emplace(Settings{}, store, *snapshots);
  }

  Response Ask(std::string_view method, std::string_view target, std::string_view body = {},
               std::string_view type = "application/x-www-form-urlencoded",
               std::string client = "192.0.2.1") {
    Request request;
    request.method = method;
    request.target = target;
    request.body = body;
    request.contentType = type;
    request.client = std::move(client);
    request.now = now;
    return service->Handle(request);
  }
  Response Get(std::string_view target) { return Ask("GET", target); }
  static std::string Header(const Response& r, std::string_view name) {
    for (const auto& [key, value] : r.headers)
      if (key == name) return value;
    return {};
  }

  test::TempFolder folder;
  SqliteStore store{folder.str()};
  std::optional<Snapshots> snapshots;
  std::optional<Service> service;
  std::int64_t now = 1'800'000'000;
};

TEST_F(ServiceTest, EveryTextComesBackEscaped) {
  const std::string escaped = "&lt;b id=x&gt;&quot;&#39;&amp;";
  // What the page holds, and what it must not.
  const std::tuple<const char*, Response, std::vector<std::string>, std::vector<std::string>>
      cases[] = {
          {"a lookup of markup", Get("/?imei=%3Cb+id%3Dx%3E%22%27%26"), {escaped}, {"<b id"}},
          {"device names from the database",
           Get("/?imei=123456781234568"),
           {"&lt;script&gt;alert(1)&lt;/script&gt;", "&quot;&gt;&lt;img src=x"},
           {"<script", "<img src=x"}},
          {"Latin-1 bytes in the database",
           Get("/?imei=49015420"),
           {"Nok\xC3\xA9"
            "a"},
           {}},
          {"a refused form keeps its values",
           Ask("POST", "/submit", "tac=1&manufacturer=%3Cb+id%3Dx%3E%22%27%26&model=a&source=b"),
           {"value=\"" + escaped + "\""},
           {"<b id"}},
      };
  for (const auto& [name, response, present, absent] : cases) {
    SCOPED_TRACE(name);
    for (const std::string& text : present)
      EXPECT_NE(response.body.find(text), std::string::npos) << text;
    for (const std::string& text : absent)
      EXPECT_EQ(response.body.find(text), std::string::npos) << text;
  }
  // The JSON record of such a name is well-formed JSON holding it as it is.
  const Json record = Json::parse(Get("/api/v1/imei/123456781234568").body);
  EXPECT_EQ(record["manufacturer"], "<script>alert(1)</script>");
  EXPECT_EQ(record["verdict"], "valid");
}

TEST_F(ServiceTest, ASubmissionMeetsEveryRuleOrComesBackWithItsReason) {
  const std::string good = "tac=87654321&manufacturer=Acme&model=Phone+1&source=box";
  const std::string long64 = std::string(64, 'x');
  std::string chars64;
  for (int i = 0; i < 64; ++i) chars64 += "%C3%BC";  // 64 characters, 128 bytes
  // The form, its status, and the field refused.
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      {"all well", good, 303, ""},
      {"a TAC of 7 digits", "tac=1234567&manufacturer=A&model=B&source=C", 400, "tac"},
      {"the zero TAC", "tac=00000000&manufacturer=A&model=B&source=C", 400, "tac"},
      {"a TAC with letters", "tac=1234567a&manufacturer=A&model=B&source=C", 400, "tac"},
      {"no manufacturer", "tac=87654322&manufacturer=+&model=B&source=C", 400, "manufacturer"},
      {"64 characters, 128 bytes", "tac=87654322&manufacturer=" + chars64 + "&model=B&source=C",
       303, ""},
      {"65 characters", "tac=87654323&manufacturer=A&model=" + long64 + "x&source=C", 400, "model"},
      {"a control character", "tac=87654324&manufacturer=A%09B&model=B&source=C", 400,
       "manufacturer"},
      {"a comma", "tac=87654325&manufacturer=A%2CB&model=B&source=C", 400, "manufacturer"},
      {"invalid UTF-8", "tac=87654326&manufacturer=A&model=%FF&source=C", 400, "model"},
      {"no source", "tac=87654327&manufacturer=A&model=B", 400, "source"},
      {"201 characters of source",
       "tac=87654328&manufacturer=A&model=B&source=" + std::string(201, 's'), 400, "source"},
      {"a note with line breaks", "tac=87654329&manufacturer=A&model=B&source=C&note=a%0D%0Ab", 303,
       ""},
      {"a note with a NUL", "tac=87654330&manufacturer=A&model=B&source=C&note=a%00", 400, "note"},
      {"bad percent-encoding", "tac=8765%4&manufacturer=A&model=B&source=C", 400, ""},
  };
  for (const auto& [name, body, status, field] : cases) {
    SCOPED_TRACE(name);
    const Response r = Ask("POST", "/submit", body);
    EXPECT_EQ(r.status, status);
    if (!field.empty()) {
      EXPECT_NE(r.body.find("id=\"submit-" + field + "-error\""), std::string::npos);
    }
    if (status == 303) {
      EXPECT_TRUE(Header(r, "Location").starts_with("/submissions/"));
    }
    // The same fields as JSON (which holds UTF-8 only) meet the same rules, and find what the
    // form stored.
    const std::optional<Fields> fields = ParseFields(body);
    if (!fields || !std::all_of(fields->begin(), fields->end(),
                                [](const auto& f) { return IsValidUtf8(f.second); }))
      continue;
    Json json = Json::object();
    for (const auto& [name, value] : *fields) json[name] = value;
    const Response api =
        Ask("POST", "/api/v1/submissions", json.dump(), "application/json", "192.0.2.3");
    const Json answer = Json::parse(api.body);
    EXPECT_EQ(api.status, status == 303 ? 200 : status) << api.body;
    if (status == 303) {
      EXPECT_EQ("/submissions/" + answer["id"].dump(), Header(r, "Location"));
    }
    if (!field.empty()) {
      EXPECT_EQ(answer["code"], "invalid_fields");
      EXPECT_TRUE(answer["fields"].contains(field));
    }
  }
  // The body, its status, and the code of the error.
  const std::tuple<const char*, std::string, int, const char*> jsonCases[] = {
      {"a new device", R"({"tac":"87654399","manufacturer":"Acme","model":"J","source":"s"})", 201,
       ""},
      {"published already",
       R"({"tac":"35209900","manufacturer":"Alcatel","model":"One Touch 332","source":"s"})", 409,
       "already_published"},
      {"a number for a text", R"({"tac":87654398,"manufacturer":"A","model":"B","source":"C"})",
       400, "bad_shape"},
      {"an array", "[]", 400, "bad_shape"},
      {"not JSON", "tac=1", 400, "not_json"},
      {"too deep", R"({"note":[[[[["x"]]]]]})", 400, "too_deep"},
  };
  for (const auto& [name, body, status, code] : jsonCases) {
    SCOPED_TRACE(name);
    const Response r = Ask("POST", "/api/v1/submissions", body, "application/json", "192.0.2.4");
    EXPECT_EQ(r.status, status);
    const Json answer = Json::parse(r.body);
    if (status == 201) {
      EXPECT_EQ(Header(r, "Location"), "/api/v1/submissions/" + answer["id"].dump());
      const Json shown = Json::parse(Get(Header(r, "Location")).body);
      EXPECT_EQ(shown, (Json{{"id", answer["id"]},
                             {"tac", "87654399"},
                             {"manufacturer", "Acme"},
                             {"model", "J"},
                             {"status", "pending"}}));
    } else {
      EXPECT_EQ(answer["code"], code);
    }
  }
  EXPECT_EQ(Ask("POST", "/api/v1/submissions", "{}", "application/x-www-form-urlencoded").status,
            415);
  EXPECT_EQ(Get("/api/v1/submissions/999").status, 404);
  EXPECT_EQ(Ask("POST", "/submit", good, "multipart/form-data; boundary=x").status, 415);
  // Names a spreadsheet would run, or that read as something else, or as nothing.
  for (const char* name : {"%3Dcmd|' /C calc'!A0", "A%E2%80%AEB", "%C2%A0", "%E2%80%8B%E2%80%8C"}) {
    const Response r =
        Ask("POST", "/submit", std::string("tac=87654331&model=B&source=C&manufacturer=") + name,
            "application/x-www-form-urlencoded", "192.0.2.9");
    EXPECT_EQ(r.status, 400) << name;
    EXPECT_NE(r.body.find("id=\"submit-manufacturer-error\""), std::string::npos) << name;
  }

  // The same device again: stored once, and the page says where it stands.
  const Response again = Ask("POST", "/submit", good);
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.body.find("waits for review already"), std::string::npos);
  const Response published =
      Ask("POST", "/submit", "tac=35209900&manufacturer=Alcatel&model=One+Touch+332&source=x");
  EXPECT_EQ(published.status, 200);
  EXPECT_NE(published.body.find("Already in the database"), std::string::npos);
  const auto pending = store.List(Status::Pending);
  ASSERT_EQ(pending.size(), 4u);
  EXPECT_EQ(pending[0].model, "Phone 1");
  EXPECT_EQ(CharCount(pending[1].manufacturer), 64u);
  EXPECT_EQ(pending[2].note, "a\r\nb");
  const Response shown = Get("/submissions/" + std::to_string(pending[0].id));
  EXPECT_NE(shown.body.find("<span id=\"reference\">" + std::to_string(pending[0].id)),
            std::string::npos);
  for (const char* missing :
       {"/submissions/999", "/submissions/x", "/submissions/-1", "/submissions/"})
    EXPECT_EQ(Get(missing).status, 404) << missing;
}

// The window of an hour moves with the requests' time; what counts (refused forms, JSON and forms
// alike) is the real binary's to show (tests/service/service_test.py).
TEST_F(ServiceTest, OneAddressMaySubmitSoOftenAnHour) {
  Settings settings;
  settings.submissionsPerHour = 1;
  Service limited(settings, store, *snapshots);
  const auto post = [&] {
    return limited.Handle(
        {"POST", "/submit", "tac=1", "application/x-www-form-urlencoded", {}, "192.0.2.7", now});
  };
  EXPECT_EQ(post().status, 400);  // refused, but counted
  const Response refused = post();
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(Header(refused, "Retry-After"), "3600");
  now += 3600;
  EXPECT_EQ(post().status, 400);  // an hour later the address may again
}

// The bodies, their checksum and versions, HEAD and a plain ETag are met through the real binary
// (tests/service/service_test.py); here the rest of what a cache may send.
TEST_F(ServiceTest, TheDatabaseAndItsVersionAnswerAsFilesDo) {
  const Response csv = Get("/mobidex.csv");
  const std::string etag = Header(csv, "ETag");
  EXPECT_EQ(Header(csv, "Last-Modified"), HttpDate(snapshots->Current()->published));
  // Appended, not added to a literal: GCC 12 takes `"W/" + std::string` for an overlapping copy.
  for (const std::string& condition : {etag, std::string("W/").append(etag),
                                       std::string("\"other\", ").append(etag), std::string("*")}) {
    Request request{"GET", "/mobidex.csv", {}, {}, condition, "192.0.2.1", now};
    const Response r = service->Handle(request);
    EXPECT_EQ(r.status, 304) << condition;
    EXPECT_TRUE(r.Body().empty());
  }
  for (const char* target : {"/ver", "/", "/mobidex.csv"})
    EXPECT_EQ(Ask("POST", target).status, 405);
  EXPECT_EQ(Get("/?imei=%E0%80%80").status, 400);  // an overlong encoding is no UTF-8
}

TEST_F(ServiceTest, APublicationReplacesEverythingAtOnceAndABadOneIsPassedOver) {
  const auto first = snapshots->Current();
  const std::string next =
      "35209900,Alcatel,One Touch 332\r\n87654321,Acme,Phone\r\nVERSION_,v1.26.1207,Test\r\n";
  EXPECT_EQ(
      FaultOf(PublishDatabase(store, "87654321,Acme\r\nVERSION_,v1.26.1208,x\r\n", false, now)),
      "not a database: line 1 is no device line (TAC,manufacturer,model): \"87654321,Acme\"");
  EXPECT_EQ(FaultOf(PublishDatabase(store, kDatabase, false, now)).substr(0, 12), "its version ");
  EXPECT_EQ(FaultOf(PublishDatabase(store, next, false, now)), "");
  snapshots->Refresh();
  EXPECT_EQ(Get("/dbver").body, "261207\r\n");
  EXPECT_NE(Get("/?imei=87654321").body.find("Acme"), std::string::npos);
  EXPECT_EQ(first->versionNumber, "261206");  // what a request in flight holds stays whole
  // A file that is no database, put there by other means, is not served.
  folder.Write("mobidex.csv", "garbage\r\n");
  snapshots->Refresh();
  EXPECT_EQ(Get("/dbver").body, "261207\r\n");
  // Nor is it taken for "nothing published": only --force replaces what cannot be compared.
  const std::string later = "35209900,Alcatel,One\r\nVERSION_,v1.26.1208,Test\r\n";
  EXPECT_NE(FaultOf(PublishDatabase(store, later, false, now)).find("cannot be read as one"),
            std::string::npos);
  EXPECT_EQ(FaultOf(PublishDatabase(store, kDatabase, true, now)), "");  // --force goes back
  snapshots->Refresh();
  EXPECT_EQ(Get("/dbver").body, "261206\r\n");
}

// The store suite on SQLite, each test over a folder of its own.
StoreMaker SqlitePlace() {
  auto folder = std::make_shared<test::TempFolder>();
  return [folder] { return std::make_unique<SqliteStore>(folder->str()); };
}
INSTANTIATE_TEST_SUITE_P(Sqlite, StoreTest, ::testing::Values(StoreKind{"SQLite", SqlitePlace}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vettrix::service
