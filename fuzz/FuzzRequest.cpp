// The service's handling of a connection's bytes: the edge reads each request as the binary
// reads it from a socket (request line, headers, percent-encoding, chunked framing, the limits
// of the head, of its fields and of the body) and the service answers it over a small published
// database and a fresh SQLite store. Every answer has a status the service gives, the headers
// every answer carries, a body that is text, and JSON under /api/.
//
// The first byte picks how many bytes a read gives (one at a time up to all at once) and
// whether the peer is a trusted proxy, whose X-Forwarded-For names the client; the rest is what
// the client sends.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "FuzzService.h"
#include "app/Text.h"
#include "service/HttpServer.h"

namespace vettrix::fuzz {
namespace {

using service::Response;

bool IsApi(std::string_view path) {
  return path == "/api" || path.starts_with("/api/");
}

bool IsToken(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-')) return false;
  return true;
}

// The answer as written: its status line, its headers (each once where it must be), and as
// many bytes of body as it says.
void CheckWritten(std::string_view target, const Response& response, std::string_view written) {
  constexpr int kStatuses[] = {200, 201, 204, 303, 304, 400, 404,
                               405, 409, 413, 415, 429, 431, 503};
  FUZZ_CHECK(std::find(std::begin(kStatuses), std::end(kStatuses), response.status) !=
             std::end(kStatuses));
  const std::size_t headEnd = written.find("\r\n\r\n");
  FUZZ_CHECK(headEnd != std::string_view::npos);
  std::string_view head = written.substr(0, headEnd + 2);
  const std::string_view body = written.substr(headEnd + 4);
  FUZZ_CHECK(head.starts_with("HTTP/1.1 ") || head.starts_with("HTTP/1.0 "));
  const std::string code = std::to_string(response.status);
  FUZZ_CHECK(head.substr(9, code.size()) == code && head.substr(9 + code.size(), 1) == " ");
  head.remove_prefix(head.find("\r\n") + 2);
  int common[std::size(service::kCommonHeaders)] = {};
  int cacheControl = 0, length = -1;
  while (!head.empty()) {
    const std::string_view line = head.substr(0, head.find("\r\n"));
    head.remove_prefix(line.size() + 2);
    // No value breaks a line: a header line is a name, a colon and a value.
    const std::size_t colon = line.find(": ");
    FUZZ_CHECK(colon != std::string_view::npos && IsToken(line.substr(0, colon)));
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
    const std::string_view name = line.substr(0, colon), value = line.substr(colon + 2);
    for (std::size_t i = 0; i < std::size(service::kCommonHeaders); ++i)
      if (name == service::kCommonHeaders[i].first) {
        FUZZ_CHECK(value == service::kCommonHeaders[i].second);
        ++common[i];
      }
    if (name == "Cache-Control") ++cacheControl;
    if (name == "Content-Length") length = std::stoi(std::string(value));
  }
  for (const int count : common) FUZZ_CHECK(count == 1);
  FUZZ_CHECK(cacheControl == 1);
  const std::string_view full = response.Body();
  if (response.status == 204 || response.status == 304) {
    FUZZ_CHECK(length == -1 && body.empty());
  } else {
    FUZZ_CHECK(length == static_cast<int>(full.size()));
    FUZZ_CHECK(body == (response.headersOnly ? std::string_view() : full));
  }
  FUZZ_CHECK(IsValidUtf8(full));
  if (!full.empty()) FUZZ_CHECK(!response.contentType.empty());

  // Under /api/, and wherever the target could not be read: JSON, an error with its code.
  if ((IsApi(service::PathOf(target)) || target.empty()) && !full.empty()) {
    FUZZ_CHECK(response.contentType == "application/json");
    const nlohmann::json json = nlohmann::json::parse(full, nullptr, false);
    FUZZ_CHECK(!json.is_discarded());
    if (response.status >= 400)
      FUZZ_CHECK(json.is_object() && json.contains("code") && json["code"].is_string() &&
                 json.contains("error") && json["error"].is_string());
  }
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  if (size == 0) return 0;
  // Two submissions an hour, so that a few pipelined ones meet the limit.
  static ServiceFixture& fixture = *new ServiceFixture(2);
  fixture.store.Renew();

  constexpr std::size_t kPieces[] = {1, 3, 64, 4096, 1 << 20};
  service::ConverseOptions options;
  options.piece = kPieces[data[0] % std::size(kPieces)];
  options.now = kStart + 60;
  if (data[0] & 0x80) options.trustedProxies.push_back(*service::ParseAddressRange("127.0.0.0/8"));
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  service::Converse(
      bytes, options, *fixture.handler,
      [](const service::Request& request) {
        // The edge keeps every body within its route's limit.
        FUZZ_CHECK(request.body.size() <=
                   fixture.handler->BodyLimit(request.method, service::PathOf(request.target)));
        return fixture.handler->Handle(request);
      },
      CheckWritten);
  return 0;
}
