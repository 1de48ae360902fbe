// The version files of both update checks: the first line, the decimal reader and the two
// conversions, on arbitrary file contents; and both checks end to end on a downloaded file.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/Form1.h"
#include "app/Text.h"
#include "update/CheckUpdate.h"

namespace vettrix::fuzz {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// strtod's reading of the whole text, when it takes all of it.
bool Strtod(std::string_view text, double& value) {
  const std::string copy(text);
  if (copy.empty() || copy.find('\0') != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size();
}

// Optional sign, digits with an optional fraction (at least one digit), optional exponent.
bool PlainDecimal(std::string_view s) {
  std::size_t i = 0, digits = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == from) return false;
  }
  return i == s.size();
}

void CheckConversions(std::string_view line) {
  const std::optional<double> value = ParseDecimal(line);
  double expected = 0;
  const bool plain = PlainDecimal(TrimBlanks(line)) && Strtod(TrimBlanks(line), expected);
  // Every plain decimal with a finite value is read, as strtod reads it; nothing else is.
  FUZZ_CHECK(value.has_value() == (plain && std::isfinite(expected)));
  if (value) FUZZ_CHECK(*value == expected);

  const std::optional<std::int16_t> program = ProgramVersionValue(line);
  if (program) {
    FUZZ_CHECK(value.has_value());
    FUZZ_CHECK(*program >= -32768 && *program <= 32767);
    const double distance = std::fabs(*value - *program);
    FUZZ_CHECK(distance <= 0.5);
    if (distance == 0.5) FUZZ_CHECK(*program % 2 == 0);
  } else if (value) {
    FUZZ_CHECK(*value >= 32767.5 || *value < -32768.5);
  }

  const std::optional<double> database = DatabaseVersionValue(line);
  FUZZ_CHECK(database.has_value() == value.has_value());
  if (database) FUZZ_CHECK(*database == std::floor(*value));
}

template <typename T>
T Take(const std::uint8_t* data, std::size_t size) {
  T value{};
  std::memcpy(&value, data, std::min(size, sizeof value));
  return value;
}

// Whole numbers written out and read back, in the forms a version file may use.
void CheckRoundTrips(const std::uint8_t* data, std::size_t size) {
  const auto program = Take<std::int16_t>(data, size);
  const std::string text = std::to_string(program);
  const std::uint8_t form = size > 2 ? data[2] % 6 : 0;
  const std::string written = form == 0   ? text
                              : form == 1 ? " " + text + "\t"
                              : form == 2 ? text + ".0"
                              : form == 3 ? text + "e0"
                              : form == 4 ? (program >= 0 ? "+" + text : text)
                                          : text + "\r\n12345\r\n";
  const std::optional<std::int16_t> read = ProgramVersionValue(FirstLine(written));
  FUZZ_CHECK(read && *read == program);

  auto database =
      Take<std::int64_t>(data + std::min<std::size_t>(size, 3), size > 3 ? size - 3 : 0);
  database %= std::int64_t{1} << 53;  // exactly representable as a double
  const std::optional<double> readDatabase = DatabaseVersionValue(std::to_string(database));
  FUZZ_CHECK(readDatabase && *readDatabase == static_cast<double>(database));

  const auto number = Take<double>(data, size);
  if (std::isfinite(number)) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    const std::optional<double> back = ParseDecimal(std::string_view(buffer, end - buffer));
    FUZZ_CHECK(back && *back == number);
  }
}

struct Window {
  FuzzPlatform platform{MakeTempFolder()};
  Form1 form{platform};
};

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Both checks on a downloaded file with these contents: one message, of a known kind.
void CheckEndToEnd(const std::string& contents) {
  static Window* window = new Window;
  Form1& form = window->form;
  FuzzPlatform& platform = window->platform;
  form.ProgramVersionNumber = "21326";
  form.DatabaseVersionNumber = "990000";
  platform.downloadBody = contents;

  const std::string line(FirstLine(contents));
  platform.messages.clear();
  CheckUpdate(form, kServiceUrl);
  FUZZ_CHECK(platform.messages.size() == 1);
  const std::string& programMessage = platform.messages.back();
  FUZZ_CHECK(form.OnlineProgramVersion == line);
  if (ProgramVersionValue(line)) {
    FUZZ_CHECK(StartsWith(programMessage, "An update is available! ") ||
               StartsWith(programMessage, "You have the latest version. ") ||
               StartsWith(programMessage, "You have a development version. "));
    FUZZ_CHECK(programMessage.size() > line.size());
  } else {
    constexpr std::string_view kUnreadable =
        "The published Vettrix version could not be read. Online version: ";
    FUZZ_CHECK(StartsWith(programMessage, kUnreadable));
    // The quoted value is cut short at 40 characters of up to four bytes, is text whatever the
    // bytes were, and holds no control characters.
    FUZZ_CHECK(programMessage.size() <= kUnreadable.size() + 2 + 4 * 40 + 3);
    FUZZ_CHECK(IsValidUtf8(programMessage));
    for (const char c : programMessage)
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }

  platform.messages.clear();
  CheckUpdateDB(form, kServiceUrl);
  FUZZ_CHECK(platform.messages.size() == 1);
  const bool readable = DatabaseVersionValue(line).has_value();
  FUZZ_CHECK(StartsWith(platform.messages.back(),
                        "The published Mobidex version could not be read") != readable);
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  const std::string contents(reinterpret_cast<const char*>(data), size);

  const std::string_view line = FirstLine(contents);
  FUZZ_CHECK(std::string_view(contents).substr(0, line.size()) == line);
  FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
  if (line.size() < contents.size())
    FUZZ_CHECK(contents[line.size()] == '\r' || contents[line.size()] == '\n');

  CheckConversions(line);
  CheckRoundTrips(data, size);
  CheckEndToEnd(contents);
  return 0;
}
