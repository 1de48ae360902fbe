#include "validate/Imei.h"

#include <array>
#include <cassert>

#include "app/Text.h"

namespace vettrix {
namespace {

enum : unsigned char { kKeep, kDrop, kZero };

constexpr std::array<unsigned char, 256> MakeActions() {
  std::array<unsigned char, 256> actions{};
  for (const char c : std::string_view(" -/.\\_~#@,"))
    actions[static_cast<unsigned char>(c)] = kDrop;
  for (const char c : std::string_view("Xx*")) actions[static_cast<unsigned char>(c)] = kZero;
  return actions;
}
constexpr std::array<unsigned char, 256> kActions = MakeActions();

}  // namespace

std::string_view TrimSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string NormalizeIMEI(std::string_view text) {
  std::string out;
  NormalizeInto(text, out);
  return out;
}

void NormalizeInto(std::string_view text, std::string& out) {
  // Writing `out` would move or overwrite what is still to be read.
  assert(text.empty() || out.empty() || text.data() + text.size() <= out.data() ||
         out.data() + out.size() <= text.data());
  std::size_t plain = 0;  // characters kept as they are, the usual case
  while (plain < text.size() && kActions[static_cast<unsigned char>(text[plain])] == kKeep) ++plain;
  if (plain == text.size()) {
    SetText(out, text);
    return;
  }
  out.resize(text.size());
  char* next = out.data();
  for (const char c : text) {
    const unsigned char action = kActions[static_cast<unsigned char>(c)];
    if (action == kKeep) {
      *next++ = c;
    } else if (action == kZero) {
      *next++ = '0';
    }
  }
  out.resize(static_cast<std::size_t>(next - out.data()));
}

int WeightedSum(std::string_view digits) {
  // What a character adds at an even position up to 14: a digit doubled, with the digits of the
  // product added (0 2 4 6 8 1 3 5 7 9); nothing for any other character.
  static constexpr std::array<unsigned char, 256> kDoubledValue = [] {
    std::array<unsigned char, 256> table{};
    for (int d = 0; d <= 9; ++d)
      table[std::size_t{'0'} + static_cast<std::size_t>(d)] =
          static_cast<unsigned char>(kDoubledDigits[static_cast<std::size_t>(d)] - '0');
    return table;
  }();
  const std::size_t n = digits.size();
  unsigned notDigit = 0;
  int total = 0;
  std::size_t i = 0;
  for (; i + 1 < n && i < 14; i += 2) {
    const auto odd = static_cast<unsigned>(digits[i] - '0');
    const auto even = static_cast<unsigned>(digits[i + 1] - '0');
    notDigit |= static_cast<unsigned>(odd > 9) | static_cast<unsigned>(even > 9);
    total += static_cast<int>(odd) + kDoubledValue[static_cast<unsigned char>(digits[i + 1])];
  }
  for (; i < n; ++i) {  // a last odd position, and the positions after 14, as they are
    const auto d = static_cast<unsigned>(digits[i] - '0');
    notDigit |= static_cast<unsigned>(d > 9);
    total += static_cast<int>(d);
  }
  return notDigit != 0 ? -1 : total;
}

bool IsAcceptedTotal(int total) {
  return total % 10 == 0 && total >= 10 && total <= 160;
}

bool IsValidNormalizedIMEI(std::string_view normalized) {
  return normalized.size() == 15 && IsAcceptedTotal(WeightedSum(normalized));
}

bool IsValidIMEI(std::string_view text) {
  // Fifteen plain digits, the usual input, are checked in one pass without normalising.
  if (text.size() == 15) {
    unsigned notDigit = 0;
    unsigned total = 0;
    for (std::size_t i = 0; i < 15; ++i) {
      const unsigned d = static_cast<unsigned char>(text[i]) - unsigned{'0'};
      notDigit |= d > 9 ? 1u : 0u;
      const unsigned value = d > 9 ? 0 : d;
      total += i % 2 == 1 ? (value * 2 > 9 ? value * 2 - 9 : value * 2) : value;
    }
    if (notDigit == 0) return total % 10 == 0 && total >= 10;
  }
  // Short inputs normalise in a fixed buffer; anything that normalises to more than 15
  // characters is invalid, so longer texts need not be kept.
  char buffer[16];
  std::size_t length = 0;
  for (const char c : TrimSpaces(text)) {
    const unsigned char action = kActions[static_cast<unsigned char>(c)];
    if (action == kDrop) continue;
    if (length == 15) return false;
    buffer[length++] = action == kZero ? '0' : c;
  }
  return IsValidNormalizedIMEI(std::string_view(buffer, length));
}

}  // namespace vettrix
