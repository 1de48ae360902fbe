// The submission form and the JSON bodies: a few requests, each a form, a JSON submission, a
// TAC batch or an IMEI batch, answered by the service over a fresh SQLite store. A submission
// accepted is in the store as sent (a new one, or the same one pending), and the operator's
// listings (TSV, JSON, mobidex lines) read back field for field; every batch answers each of
// its items, in order, by the item sent.
//
// The input is up to 8 requests separated by 0xFF bytes; each begins with the byte that picks
// its kind.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzService.h"
#include "app/DeviceTable.h"
#include "app/Text.h"
#include "service/Listing.h"
#include "service/SubmissionForm.h"

namespace vettrix::fuzz {
namespace {

using Json = nlohmann::json;
using service::Submission;

// The fields of a JSON submission as the service takes them: those of the form that are texts.
std::optional<service::Fields> JsonFields(std::string_view body) {
  const Json json = Json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  service::Fields fields;
  for (const char* name : {"tac", "manufacturer", "model", "source", "note"}) {
    const auto it = json.find(name);
    if (it == json.end()) continue;
    if (!it->is_string()) return std::nullopt;
    fields.emplace_back(name, it->get<std::string>());
  }
  return fields;
}

std::vector<const std::string*> Texts(const Submission& s) {
  return {&s.tac, &s.manufacturer, &s.model, &s.source, &s.note};
}

// A TSV field read back: \t \n \r \\ \0 and \uXXXX undone.
std::string Unescaped(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      text += field[i];
      continue;
    }
    FUZZ_CHECK(i + 1 < field.size());
    const char c = field[++i];
    if (c == 'u') {
      FUZZ_CHECK(i + 4 < field.size());
      // Control characters, all below U+0800 but U+2028 and U+2029.
      const auto cp =
          static_cast<unsigned>(std::stoul(std::string(field.substr(i + 1, 4)), nullptr, 16));
      i += 4;
      if (cp < 0x80) {
        text += static_cast<char>(cp);
      } else if (cp < 0x800) {
        text += static_cast<char>(0xC0 | (cp >> 6));
        text += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        text += static_cast<char>(0xE0 | (cp >> 12));
        text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (cp & 0x3F));
      }
      continue;
    }
    FUZZ_CHECK(c == 't' || c == 'n' || c == 'r' || c == '\\' || c == '0');
    text += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : '\\';
  }
  return text;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + separator.size());
  }
}

std::string Listing(const std::vector<Submission>& list, std::string_view format) {
  std::string text;
  records::Output out(text);
  service::WriteSubmissions(out, list, format);
  out.Flush();
  return text;
}

// The three listings of `list`, read back: the same submissions, field for field.
void CheckListings(const std::vector<Submission>& list) {
  const std::string tsv = Listing(list, "tsv");
  const std::vector<std::string_view> lines = Split(tsv, "\n");
  FUZZ_CHECK(lines.size() == list.size() + 2 && lines.back().empty());
  FUZZ_CHECK(lines[0] == "id\ttac\tmanufacturer\tmodel\tsource\tnote\tstatus\treceived");
  for (std::size_t k = 0; k < list.size(); ++k) {
    const Submission& s = list[k];
    const std::vector<std::string_view> fields = Split(lines[k + 1], "\t");
    FUZZ_CHECK(fields.size() == 8);
    FUZZ_CHECK(fields[0] == std::to_string(s.id));
    const auto texts = Texts(s);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::string shown = Unescaped(fields[i + 1]);
      FUZZ_CHECK(shown == (service::BeginsAsFormula(*texts[i]) ? "'" + *texts[i] : *texts[i]));
    }
    FUZZ_CHECK(fields[6] == service::StatusName(s.status));
    FUZZ_CHECK(fields[7] == service::Rfc3339(s.received));
  }

  const Json json = Json::parse(Listing(list, "json"), nullptr, false);
  FUZZ_CHECK(json.is_array() && json.size() == list.size());
  for (std::size_t k = 0; k < list.size(); ++k) {
    const Submission& s = list[k];
    const Json& record = json[k];
    FUZZ_CHECK(record.size() == 8 && record["id"] == s.id && record["tac"] == s.tac &&
               record["manufacturer"] == s.manufacturer && record["model"] == s.model &&
               record["source"] == s.source && record["note"] == s.note &&
               record["status"] == service::StatusName(s.status) &&
               record["received"] == service::Rfc3339(s.received));
  }

  // The lines to merge, as the window's reader reads a database.
  DeviceTable table;
  table.Assign(Listing(list, "mobidex"));
  FUZZ_CHECK(table.LineCount() == static_cast<int>(list.size()));
  for (std::size_t k = 0; k < list.size(); ++k)
    FUZZ_CHECK(table.Line(static_cast<int>(k) + 1) ==
               list[k].tac + "," + list[k].manufacturer + "," + list[k].model);
}

// A batch's answer: one result for each item, in order, naming the item as sent.
void CheckBatch(std::string_view body, const service::Response& response, const char* key,
                const char* echo) {
  if (response.status != 200) return;
  const Json sent = Json::parse(body);
  const Json answer = Json::parse(response.Body());
  const Json& items = sent[key];
  const Json& results = answer["results"];
  FUZZ_CHECK(results.is_array() && results.size() == items.size());
  for (std::size_t i = 0; i < items.size(); ++i) FUZZ_CHECK(results[i][echo] == items[i]);
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  static ServiceFixture& fixture = *new ServiceFixture(1000);
  fixture.store.Renew();
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::vector<std::string_view> parts = Split(input, "\xFF");
  if (parts.size() > 8) parts.resize(8);
  std::vector<Submission> expected;  // those stored, in the order received
  for (const std::string_view part : parts) {
    if (part.empty()) continue;
    const int kind = static_cast<unsigned char>(part[0]) % 4;
    const std::string_view body = part.substr(1);
    service::Request request;
    request.method = "POST";
    request.target = kind == 0   ? "/submit"
                     : kind == 1 ? "/api/v1/submissions"
                     : kind == 2 ? "/api/v1/tac"
                                 : "/api/v1/imei";
    request.contentType = kind == 0 ? "application/x-www-form-urlencoded" : "application/json";
    request.body = body;
    request.client = "192.0.2.1";
    request.now = kStart + 60;
    const service::Response response = fixture.handler->Handle(request);
    if (kind == 2) CheckBatch(body, response, "tacs", "tac");
    if (kind == 3) CheckBatch(body, response, "imeis", "input");
    if (kind >= 2) continue;

    const std::optional<service::Fields> fields =
        kind == 0 ? service::ParseFields(body) : JsonFields(body);
    const bool isNew = response.status == (kind == 0 ? 303 : 201);
    const std::vector<Submission> stored = fixture.store.List(std::nullopt);
    FUZZ_CHECK(stored.size() == expected.size() + (isNew ? 1 : 0));
    if (!fields || !isNew) {
      // Pending already: it is there, as sent.
      if (fields && response.status == 200 && kind == 1) {
        const service::SubmissionForm form = service::ReadSubmission(*fields);
        FUZZ_CHECK(form.Ok());
        bool found = false;
        for (const Submission& s : stored)
          found = found || (s.tac == form.tac && s.manufacturer == form.manufacturer &&
                            s.model == form.model);
        FUZZ_CHECK(found);
      }
      continue;
    }
    const service::SubmissionForm form = service::ReadSubmission(*fields);
    FUZZ_CHECK(form.Ok());
    const Submission& s = stored.back();
    FUZZ_CHECK(s.tac == form.tac && s.manufacturer == form.manufacturer && s.model == form.model &&
               s.source == form.source && s.note == form.note &&
               s.status == service::Status::Pending && s.received == request.now);
    for (const std::string* text : Texts(s)) FUZZ_CHECK(IsValidUtf8(*text));
    expected.push_back(s);
  }
  CheckListings(fixture.store.List(std::nullopt));
  return 0;
}
