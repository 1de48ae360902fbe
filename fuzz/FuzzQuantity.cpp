// The quantity of a Generate run, read from whatever the user typed into the quantity box.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "generate/Report.h"

namespace vettrix::fuzz {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The plain decimal the text starts with (blanks, sign, digits, fraction, no exponent), when the
// text goes on with something that cannot extend it; empty otherwise.
std::string PlainPrefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::string number;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') number += '-';
    ++i;
  }
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) number += text[i++], ++digits;
  if (i < text.size() && text[i] == '.') {
    number += text[i++];
    while (i < text.size() && IsDigit(text[i])) number += text[i++], ++digits;
  }
  if (digits == 0) return {};
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) return {};
  return number;
}

// The whole decimal the text starts with, exponent included when digits follow its "e".
std::string DecimalPrefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return {};
  std::size_t end = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && IsDigit(text[j])) {
      while (j < text.size() && IsDigit(text[j])) ++j;
      end = j;
    }
  }
  return std::string(text.substr(start, end - start));
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const double quantity = vettrix::LeadingNumber(text);
  // A NaN quantity would never be reached and the run would not end.
  FUZZ_CHECK(!std::isnan(quantity));

  const std::string prefix = PlainPrefix(text);
  if (!prefix.empty()) {
    double expected = 0;
    const auto result = std::from_chars(prefix.data(), prefix.data() + prefix.size(), expected);
    if (result.ec == std::errc()) FUZZ_CHECK(quantity == expected);
  }

  // The same value as strtod (in the C locale) gives the number, endless and tiny ones included.
  const std::string decimal = DecimalPrefix(text);
  if (!decimal.empty()) FUZZ_CHECK(quantity == std::strtod(decimal.c_str(), nullptr));

  // Text that does not begin with a number asks for nothing.
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i < text.size() && text[i] == '.') ++i;
  if (i == text.size() || !IsDigit(text[i])) FUZZ_CHECK(quantity == 0);

  // Whatever follows the number changes nothing.
  if (!prefix.empty()) {
    std::string longer(text);
    longer += " pieces";
    FUZZ_CHECK(vettrix::LeadingNumber(longer) == quantity);
  }
  return 0;
}
