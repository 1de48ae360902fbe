#include "update/VersionNumbers.h"

#include <cmath>

#include "app/DecimalValue.h"

namespace vettrix {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string_view FirstLine(std::string_view contents) {
  return contents.substr(0, contents.find_first_of("\r\n"));
}

std::optional<double> ParseDecimal(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);

  if (text.empty() || DecimalLength(text) != text.size()) return std::nullopt;

  // Too small a magnitude reads as 0; too large is no version number.
  const double value = DecimalValue(text);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int16_t> ProgramVersionValue(std::string_view text) {
  const std::optional<double> value = ParseDecimal(text);
  if (!value) return std::nullopt;
  const double floor = std::floor(*value);
  const double fraction = *value - floor;
  double rounded = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0)) rounded = floor + 1;
  if (rounded < -32768 || rounded > 32767) return std::nullopt;
  return static_cast<std::int16_t>(rounded);
}

std::optional<double> DatabaseVersionValue(std::string_view text) {
  const std::optional<double> value = ParseDecimal(text);
  if (!value) return std::nullopt;
  return std::floor(*value);
}

}  // namespace vettrix
