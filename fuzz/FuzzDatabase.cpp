// The device database reader on arbitrary file contents: line ends of every kind, short lines,
// missing fields, huge lines, NUL bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzPlatform.h"
#include "app/Banner.h"
#include "app/DeviceTable.h"
#include "db/Mobidex.h"

namespace vettrix::fuzz {
namespace {

std::vector<std::string_view> LinesOf(const DeviceTable& table) {
  std::vector<std::string_view> lines;
  for (int k = 1; k <= table.LineCount(); ++k) lines.push_back(table.Line(k));
  return lines;
}

std::string_view Tac(std::string_view s) {
  return s.substr(0, 8);
}

// The lookup by brute force: the last line whose TAC equals the key's.
int LastMatch(const std::vector<std::string_view>& lines, std::string_view key) {
  for (std::size_t k = lines.size(); k > 0; --k)
    if (Tac(lines[k - 1]) == Tac(key)) return static_cast<int>(k);
  return 0;
}

// Lead and continuation bytes in the right places (overlong forms are not looked for).
bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    if (c < 0x80) {
      extra = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
    } else {
      return false;
    }
    if (extra > s.size() - i - 1) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

const std::string& FilePath() {
  static const std::string path = MakeTempFolder() + "/mobidex.csv";
  return path;
}

}  // namespace
}  // namespace vettrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vettrix;
  using namespace vettrix::fuzz;
  const std::string contents = ExpandBigInput(data, size);

  DeviceTable table;
  table.Assign(contents);
  FUZZ_CHECK(table.LineCount() <= DeviceTable::kMaxLines);
  const std::vector<std::string_view> lines = LinesOf(table);
  for (const std::string_view line : lines) FUZZ_CHECK(line.find('\r') == std::string_view::npos);

  // Written back with CR LF after every line and read again: the same lines.
  std::string rejoined;
  for (const std::string_view line : lines) {
    rejoined += line;
    rejoined += "\r\n";
  }
  DeviceTable again;
  again.Assign(rejoined);
  FUZZ_CHECK(LinesOf(again) == lines);

  // Read from a real file: the same lines as from memory. One table for all runs, as the
  // program keeps one; without a platform it has no watch, so Refresh reads the file again.
  WriteFileOrDie(FilePath(), contents);
  static DeviceTable& fromFile = *new DeviceTable;
  const DeviceTable::ReadResult read = fromFile.Load(FilePath());
  FUZZ_CHECK(read.has_value());
  if (read->truncated) FUZZ_CHECK(fromFile.LineCount() == DeviceTable::kMaxLines);
  FUZZ_CHECK(LinesOf(fromFile) == lines);
  FUZZ_CHECK(fromFile.Refresh(FilePath()).has_value());
  FUZZ_CHECK(LinesOf(fromFile) == lines);

  // Every line finds the last line with its TAC, and so does a key cut from the input.
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const int found = table.FindTAC(lines[k]);
    FUZZ_CHECK(found >= static_cast<int>(k) + 1);
    FUZZ_CHECK(Tac(table.Line(found)) == Tac(lines[k]));
  }
  const std::string_view key = std::string_view(contents).substr(0, contents.size() % 17);
  FUZZ_CHECK(table.FindTAC(key) == LastMatch(lines, key));

  // What the window shows of the lines is text, whatever the bytes were.
  for (std::size_t k = 0; k < lines.size() && k < 64; ++k) {
    FUZZ_CHECK(ValidUtf8(DeviceName(lines[k])));
    FUZZ_CHECK(ValidUtf8(VersionTextOf(lines[k])));
  }
  // The banner's text of the same bytes as a page: text, with single spaces and none at the ends.
  const std::string banner = BannerText(contents);
  FUZZ_CHECK(ValidUtf8(banner));
  FUZZ_CHECK(banner.find("  ") == std::string::npos);
  FUZZ_CHECK(banner.empty() || (banner.front() != ' ' && banner.back() != ' '));
  return 0;
}
