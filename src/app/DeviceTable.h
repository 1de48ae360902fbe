#pragma once

// The device database in memory: the lines of mobidex.csv as read, with the indexes that make
// the TAC lookup and the device-name search independent of the table's size.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/Text.h"
#include "seam/FileWatch.h"
#include "seam/Folders.h"
#include "seam/Result.h"

namespace vettrix {

// A TAC as a database line and a submission hold it: 8 ASCII digits.
inline bool IsTac(std::string_view text) {
  return text.size() == 8 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Field `index` of `line` without splitting the rest; empty when the line has fewer fields.
std::string_view FieldOf(std::string_view line, int index);

// A device's name as the device-type list shows it: field 1, a space, field 2.
std::string DeviceName(std::string_view line);

class DeviceTable {
 public:
  static constexpr int kMaxLines = 99'999;

  // A read of the file: what it took, or why it could not.
  struct Loaded {
    bool truncated = false;  // lines beyond kMaxLines were left out
  };
  struct ReadFailure {
    bool missing = false;  // there is no file at the path; else it cannot be read
    std::string reason;    // the system's
  };
  using ReadResult = Result<Loaded, ReadFailure>;

  // Without folders every Refresh reads the file again.
  DeviceTable() = default;
  // Their watch tells Refresh whether the file may have changed.
  explicit DeviceTable(Folders& folders) : folders_(&folders) {}

  // Reads the whole file, replacing the table. On failure the table keeps what it held.
  ReadResult Load(const std::string& path);
  // As Load, but only when the file may have changed since the last read. An edit reaches the
  // very next call.
  ReadResult Refresh(const std::string& path);
  // Replaces the table with `contents` as if read from a file (for a file-less table); true when
  // lines beyond kMaxLines were left out.
  bool Assign(std::string contents);
  // The bytes the table was made from.
  std::string_view Contents() const { return data_; }

  int LineCount() const { return static_cast<int>(starts_.size()); }  // DeviceLineCount
  // Line k, counted from 1; empty outside 1..LineCount().
  std::string_view Line(int k) const;

  // The last line whose first 8 characters (all of it when shorter) equal the first 8 characters
  // of `imei` (all of it when shorter); 0 when none. The window's lookup: the last line, which
  // holds the version, is compared too.
  int FindTAC(std::string_view imei) const;
  // As FindTAC, but never the version line: a device line or 0.
  int FindDevice(std::string_view imei) const;
  // Line k is the version line, the last one.
  bool IsVersionLine(int k) const { return k != 0 && k == LineCount(); }

  // Lines whose DeviceName equals `name`, in file order (the version line included).
  const std::vector<int>& LinesNamed(const std::string& name) const;

 private:
  ReadResult Read(const std::string& path);  // Load without the watch
  bool Parse();                              // splits data_ into lines; true when truncated
  void Index();

  std::string data_;
  std::vector<std::size_t> starts_, lengths_;
  Folders* folders_ = nullptr;
  std::string path_;                  // the file watched and last read
  ReadResult last_ = Loaded{};        // the outcome of that read
  std::unique_ptr<FileWatch> watch_;  // to skip the read while nothing changed
  // The device lines by their first 8 bytes, or their whole text when shorter; the version line
  // apart, as the key it would have.
  std::unordered_map<std::uint64_t, int> tac8_;
  std::unordered_map<std::string, int> tacShort_;
  std::uint64_t versionKey8_ = 0;
  std::string versionShort_;
  bool versionLong_ = false;  // the version line has 8 characters or more
  mutable std::unordered_map<std::string, std::vector<int>> names_;  // built on first use
  mutable bool namesBuilt_ = false;
};

}  // namespace vettrix
