#include "app/DecimalValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace vettrix {
namespace {

// True when the (unsigned, out of range) number is below 1 in magnitude, so it underflowed
// rather than overflowed. The exponent saturates: only its sign and rough size matter here.
bool BelowOne(std::string_view number) {
  const std::size_t e = number.find_first_of("eE");
  const std::string_view mantissa = number.substr(0, e);
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = number.substr(e + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
      digits.remove_prefix(1);
    for (const char c : digits) {
      if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (c - '0');
    }
    if (negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return true;  // all zeros
  // Power of ten of the first significant digit.
  const auto order = first < point ? static_cast<std::int64_t>(point - first - 1)
                                   : -static_cast<std::int64_t>(first - point);
  return order + exponent < 0;
}

}  // namespace

double DecimalValue(std::string_view number) {
  // from_chars takes no '+'; the sign is put back afterwards, which is exact.
  bool negative = false;
  if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  double value = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc::result_out_of_range) value = BelowOne(number) ? 0.0 : HUGE_VAL;
  return negative ? -value : value;
}

std::size_t DecimalLength(std::string_view text) {
  const auto isDigit = [&](std::size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
  };
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  for (; isDigit(i); ++i) ++digits;
  if (i < text.size() && text[i] == '.')
    for (++i; isDigit(i); ++i) ++digits;
  if (digits == 0) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (isDigit(j)) {
      while (isDigit(j)) ++j;
      i = j;
    }
  }
  return i;
}

}  // namespace vettrix
