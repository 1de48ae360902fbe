// The report's number form ("Calculation completed in  3.276 seconds.") for any double.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "generate/Report.h"

namespace vettrix::fuzz {
namespace {

void CheckNumber(double value) {
  const std::string text = vettrix::ReportNumber(value);
  if (!std::isfinite(value)) return;  // elapsed times are always finite; no crash is enough

  FUZZ_CHECK(text.size() >= 2);
  FUZZ_CHECK(text[0] == ' ' || text[0] == '-');
  FUZZ_CHECK((text[0] == '-') == (value < 0));

  // The mantissa has no trailing zeros after its point and does not end in the point.
  const std::size_t exponent = text.find('E');
  const std::string_view mantissa = std::string_view(text).substr(0, exponent);
  if (mantissa.find('.') != std::string_view::npos) {
    FUZZ_CHECK(mantissa.back() != '0');
    FUZZ_CHECK(mantissa.back() != '.');
  }
  // No 0 before the point below 1.
  FUZZ_CHECK(text.compare(1, 2, "0.") != 0);
  FUZZ_CHECK(text.find('e') == std::string::npos);
  FUZZ_CHECK(text.find_first_not_of(" -.0123456789E+") == std::string::npos);

  // Read back, with the leading space dropped and a 0 put before a bare point.
  std::string plain = text[0] == ' ' ? text.substr(1) : text;
  if (plain[0] == '.') plain.insert(0, 1, '0');
  if (plain.compare(0, 2, "-.") == 0) plain.insert(1, 1, '0');
  double back = 0;
  const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), back);
  if (result.ec == std::errc::result_out_of_range) {
    // Only the very largest doubles round up past the largest double at 15 digits.
    FUZZ_CHECK(std::fabs(value) >= 1.7976931348623e308);
    return;
  }
  FUZZ_CHECK(result.ec == std::errc());
  FUZZ_CHECK(result.ptr == plain.data() + plain.size());
  // 15 significant digits: off by at most half a unit in the 15th digit, plus the rounding of
  // the read itself (a 16th digit would allow ten times less).
  const double tolerance = std::fabs(value) * 5.5e-15 + std::numeric_limits<double>::denorm_min();
  FUZZ_CHECK(std::fabs(back - value) <= tolerance);
  // And the form is stable: the number read back prints the same (subnormals hold fewer than
  // 15 digits, so they may print differently).
  if (std::isnormal(value)) FUZZ_CHECK(vettrix::ReportNumber(back) == text);
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vettrix::fuzz::CheckNumber;
  // Each 8 bytes as a double, and the elapsed-time form: whole milliseconds over 1000.
  for (std::size_t at = 0; at + 8 <= size && at < 64; at += 8) {
    double value;
    std::memcpy(&value, data + at, sizeof value);
    CheckNumber(value);
    std::int64_t ticks;
    std::memcpy(&ticks, data + at, sizeof ticks);
    CheckNumber(static_cast<double>(ticks) / 1000.0);
  }
  // Text in the input read as a number, so that short decimal values come up often.
  double parsed = 0;
  const char* text = reinterpret_cast<const char*>(data);
  if (std::from_chars(text, text + size, parsed).ec == std::errc()) CheckNumber(parsed);
  return 0;
}
