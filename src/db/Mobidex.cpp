#include "db/Mobidex.h"

#include <cstdio>
#include <optional>

#include "app/Captions.h"
#include "app/Shell.h"
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

std::string DatabaseFault(const DeviceTable& devices, bool truncated) {
  if (truncated) return "it has more than " + std::to_string(DeviceTable::kMaxLines) + " lines";
  const int lines = devices.LineCount();
  if (lines < 2) return "it holds no device line before its version line";
  for (int k = 1; k < lines; ++k) {
    const std::string_view line = devices.Line(k);
    const std::string_view tac = FieldOf(line, 0);
    const bool isDevice = IsTac(tac) && !FieldOf(line, 1).empty() && !FieldOf(line, 2).empty();
    if (!isDevice)
      return "line " + std::to_string(k) +
             " is no device line (TAC,manufacturer,model): " + Quoted(line, 60);
  }
  // A name that could drive a terminal or reorder what is shown around it.
  for (int k = 1; k <= lines; ++k) {
    if (const std::optional<char32_t> control = FirstControl(devices.Line(k))) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*control));
      return "line " + std::to_string(k) + " holds a control character (" + code +
             "): " + Quoted(devices.Line(k), 60);
    }
  }
  const std::string_view last = devices.Line(lines);
  if (!IsVersionLine(last))
    return "its last line is no version line (" + std::string(kVersionLineTag) +
           ",v0.00.0000,...): " + Quoted(last, 60);
  return {};
}

DeviceTable::ReadResult ShowMobidex(Form1& form, const std::string& path) {
  form.databasePath = path;
  DeviceTable::ReadResult read = form.Devices.Load(path);
  if (read.status != DeviceTable::Status::Ok) return read;
  const int lines = form.Devices.LineCount();
  form.DatabaseVersionText = VersionTextOf(form.Devices.Line(lines));
  form.Label20.caption = "Database Version:   " + form.DatabaseVersionText;
  form.DatabaseVersionNumber = VersionNumberOf(form.DatabaseVersionText);
  SetCounter(form.Label25.caption, "Devices Supported: ", lines - 1);
  return read;
}

bool LoadMobidex(Form1& form) {
  DeviceTable::ReadResult read = ShowMobidex(form, form.platform.DatabaseFile());
  if (read.status != DeviceTable::Status::Ok) {
    if (read.status == DeviceTable::Status::Missing) {
      form.platform.MsgBox("Fatal Error! IMEI Database not found! Please download and reinstall!");
    } else {
      form.platform.MsgBox(
          "Fatal Error! IMEI Database could not be read: " + DisplayText(form.databasePath) + " (" +
          read.error + "). Please download and reinstall!");
    }
    form.Label20.caption = "Database Version: ERROR! Download and reinstall!";
    CloseForm(form);
    return false;
  }
  if (read.truncated) {
    form.platform.MsgBox("The IMEI Database has more than " +
                         std::to_string(DeviceTable::kMaxLines) + " lines. Only the first " +
                         std::to_string(DeviceTable::kMaxLines) +
                         " were read; the rest was ignored.");
  }
  return true;
}

void Mobidex(Form1& form, std::string_view imei) {
  // A database that has gone missing or cannot be read finds nothing; the table stays as it was.
  if (form.Devices.Refresh(form.databasePath).status != DeviceTable::Status::Ok) return;
  const int k = form.Devices.FindTAC(imei);
  if (k == 0) return;
  // Every matching line overwrites the same captions, so the last match is all that shows.
  form.TACFound = true;
  ShowValidCount(form);
  ShowFoundCount(form);
  const std::string_view line = form.Devices.Line(k);
  const std::string_view manufacturer = FieldOf(line, 1);
  form.Label13.visible = true;
  form.Label14.visible = true;
  form.Label13.caption = "Manufacturer: " + DisplayText(manufacturer);
  form.Label14.caption = "Model: " + DisplayText(FieldOf(line, 2));
  form.Label27.visible = manufacturer == "Apple";
}

}  // namespace vettrix
