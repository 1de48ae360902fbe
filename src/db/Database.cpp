#include "db/Database.h"

#include <cstdio>
#include <optional>

#include "app/Text.h"

namespace vettrix {

std::string VersionLine(std::string_view versionText, std::string_view note) {
  std::string line(kVersionLineTag);
  line += ',';
  line += versionText;
  line += ',';
  line += note;
  return line;
}

bool IsVersionText(std::string_view text) {
  constexpr std::string_view kForm = "v9.99.9999";  // 9: any digit
  if (text.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == '9' ? !digit : text[i] != kForm[i]) return false;
  }
  return true;
}

std::string VersionTextOf(std::string_view versionLine) {
  const std::string shown = DisplayText(versionLine);
  const std::size_t skipped = FirstChars(shown, 9).size();
  return std::string(FirstChars(std::string_view(shown).substr(skipped), 10));
}

std::string VersionNumberOf(std::string_view versionText) {
  std::string number;
  for (const char c : versionText)
    if (c != 'v' && c != '.') number += c;
  if (!number.empty()) number.erase(0, FirstChars(number, 1).size());
  return number;
}

std::optional<std::pair<int, double>> VersionOrder(std::string_view versionText) {
  if (versionText.starts_with('v')) versionText.remove_prefix(1);
  int first = -1;
  double number = 0;
  for (const char c : versionText) {
    if (c == '.') continue;
    if (c < '0' || c > '9') return std::nullopt;
    if (first < 0) {
      first = c - '0';
    } else {
      number = number * 10 + (c - '0');
    }
  }
  if (first < 0) return std::nullopt;
  return std::pair(first, number);
}

bool IsVersionLine(std::string_view line) {
  const std::string text = VersionTextOf(line);
  return FieldOf(line, 0).size() == 8 && text.size() == 10 && text[0] == 'v' &&
         text.find_first_not_of("0123456789.", 1) == std::string::npos &&
         !VersionNumberOf(text).empty();
}

Result<void> CheckDatabase(const DeviceTable& devices, bool truncated) {
  if (truncated)
    return Fail("it has more than " + std::to_string(DeviceTable::kMaxLines) + " lines");
  const int lines = devices.LineCount();
  if (lines < 2) return Fail("it holds no device line before its version line");
  for (int k = 1; k < lines; ++k) {
    const std::string_view line = devices.Line(k);
    const std::string_view tac = FieldOf(line, 0);
    const bool isDevice = IsTac(tac) && !FieldOf(line, 1).empty() && !FieldOf(line, 2).empty();
    if (!isDevice)
      return Fail("line " + std::to_string(k) +
                  " is no device line (TAC,manufacturer,model): " + Quoted(line, 60));
  }
  // A name that could drive a terminal or reorder what is shown around it.
  for (int k = 1; k <= lines; ++k) {
    if (const std::optional<char32_t> control = FirstControl(devices.Line(k))) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*control));
      return Fail("line " + std::to_string(k) + " holds a control character (" + code +
                  "): " + Quoted(devices.Line(k), 60));
    }
  }
  const std::string_view last = devices.Line(lines);
  if (!IsVersionLine(last))
    return Fail("its last line is no version line (" + std::string(kVersionLineTag) +
                ",v0.00.0000,...): " + Quoted(last, 60));
  return {};
}

}  // namespace vettrix
