#include "service/Http.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
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

using Address = std::array<unsigned char, 16>;

// An IPv4 or IPv6 address, IPv4 mapped into IPv6.
std::optional<Address> ParseAddress(std::string_view text) {
  if (text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  char zeroEnded[INET6_ADDRSTRLEN] = {};
  std::memcpy(zeroEnded, text.data(), text.size());
  Address address{};
  if (::inet_pton(AF_INET6, zeroEnded, address.data()) == 1) return address;
  if (::inet_pton(AF_INET, zeroEnded, address.data() + 12) != 1) return std::nullopt;
  address[10] = address[11] = 0xFF;
  return address;
}

bool IsMappedIpv4(const Address& address) {
  static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(std::begin(kPrefix), std::end(kPrefix), address.begin());
}

// How the hourly limit counts a client: an IPv4 address as it is, an IPv6 one by its /64.
std::string ClientKey(const Address& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (IsMappedIpv4(address)) {
    ::inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
    return text;
  }
  Address network{};
  std::copy_n(address.begin(), 8, network.begin());
  ::inet_ntop(AF_INET6, network.data(), text, sizeof text);
  return std::string(text) + "/64";
}

}  // namespace

bool AddressRange::Contains(const Address& address) const {
  const auto whole = static_cast<std::size_t>(prefix / 8);
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole),
                  address.begin()))
    return false;
  if (prefix % 8 == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - prefix % 8));
  return (bytes[whole] & mask) == (address[whole] & mask);
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
  const std::size_t slash = text.find('/');
  const auto address = ParseAddress(text.substr(0, slash));
  if (!address) return std::nullopt;
  AddressRange range{*address, 128};
  if (slash == std::string_view::npos) return range;
  const std::string_view bits = text.substr(slash + 1);
  const bool v4 = IsMappedIpv4(*address) && text.find(':') == std::string_view::npos;
  int prefix = 0;
  for (const char c : bits) {
    if (c < '0' || c > '9' || prefix > 128) return std::nullopt;
    prefix = prefix * 10 + (c - '0');
  }
  if (bits.empty() || prefix > (v4 ? 32 : 128)) return std::nullopt;
  range.prefix = v4 ? prefix + 96 : prefix;
  return range;
}

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

std::string_view OriginForm(std::string_view target) {
  const auto scheme = [target](std::string_view name) {
    return target.size() > name.size() &&
           std::equal(name.begin(), name.end(), target.begin(), [](char a, char b) {
             return a == std::tolower(static_cast<unsigned char>(b));
           });
  };
  std::size_t start = 0;
  if (scheme("http://")) {
    start = 7;
  } else if (scheme("https://")) {
    start = 8;
  } else {
    return target;
  }
  const std::size_t path = target.find('/', start);
  return path == std::string_view::npos ? std::string_view("/") : target.substr(path);
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
                          const std::vector<AddressRange>& trustedProxies) {
  const auto trusted = [&](const std::optional<Address>& address) {
    return address && std::any_of(trustedProxies.begin(), trustedProxies.end(),
                                  [&](const AddressRange& r) { return r.Contains(*address); });
  };
  const auto peerAddress = ParseAddress(peer);
  const auto key = [](const std::optional<Address>& address, std::string_view text) {
    return address ? ClientKey(*address) : std::string(text);
  };
  if (!trusted(peerAddress)) return key(peerAddress, peer);
  // Each proxy appends the address it was reached from; the first untrusted one from the right
  // is the client, whatever the client itself put in front.
  std::string_view rest = forwardedFor;
  while (!rest.empty()) {
    const std::size_t comma = rest.rfind(',');
    const std::string_view text =
        Trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    const auto address = ParseAddress(text);
    if (!text.empty() && !trusted(address)) return key(address, text);
  }
  return key(peerAddress, peer);
}

}  // namespace vettrix::service
