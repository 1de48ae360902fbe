#include "service/Http.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace vettrix::service {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::tm Utc(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return decoded;
}

std::optional<Fields> ParseFields(std::string_view text) {
  Fields fields;
  while (!text.empty()) {
    const std::size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    auto name = PercentDecode(pair.substr(0, equals), true);
    auto value = PercentDecode(
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), true);
    if (!name || !value) return std::nullopt;
    fields.emplace_back(std::move(*name), std::move(*value));
  }
  return fields;
}

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string_view QueryOf(std::string_view target) {
  const std::size_t mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::string HttpDate(std::int64_t seconds) {
  const std::tm tm = Utc(seconds);
  char text[64];
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

std::string Rfc3339(std::int64_t seconds) {
  const std::tm tm = Utc(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string ClientAddress(std::string_view peer, std::string_view forwardedFor,
                          const std::vector<std::string>& trustedProxies) {
  const auto trusted = [&](std::string_view address) {
    return std::find(trustedProxies.begin(), trustedProxies.end(), address) != trustedProxies.end();
  };
  if (!trusted(peer)) return std::string(peer);
  // Each proxy appends the address it was reached from; the first untrusted one from the right
  // is the client, whatever the client itself put in front.
  std::string_view rest = forwardedFor;
  while (!rest.empty()) {
    const std::size_t comma = rest.rfind(',');
    const std::string_view address =
        Trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    if (!address.empty() && !trusted(address)) return std::string(address);
  }
  return std::string(peer);
}

}  // namespace vettrix::service
