#include "app/DeviceTable.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

namespace vettrix {
namespace {

std::uint64_t Key8(std::string_view s) {
  std::uint64_t key = 0;
  std::memcpy(&key, s.data(), 8);
  return key;
}

// Why `path` cannot be read, as far as a look at it tells (nothing when it is a regular file).
std::optional<DeviceTable::ReadFailure> StatFailure(const std::string& path, struct stat& st) {
  if (::stat(path.c_str(), &st) != 0)
    return DeviceTable::ReadFailure{errno == ENOENT || errno == ENOTDIR, std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return DeviceTable::ReadFailure{false, "not a regular file"};
  return std::nullopt;
}

}  // namespace

std::string_view FieldOf(std::string_view line, int index) {
  std::size_t from = 0;
  for (int i = 0; i < index; ++i) {
    const std::size_t comma = line.find(',', from);
    if (comma == std::string_view::npos) return {};
    from = comma + 1;
  }
  return line.substr(from, line.find(',', from) - from);
}

std::string DeviceName(std::string_view line) {
  std::string name = DisplayText(FieldOf(line, 1));
  name += ' ';
  name += DisplayText(FieldOf(line, 2));
  return name;
}

std::string_view DeviceTable::Line(int k) const {
  if (k < 1 || k > LineCount()) return {};
  const auto i = static_cast<std::size_t>(k - 1);
  return std::string_view(data_).substr(starts_[i], lengths_[i]);
}

DeviceTable::ReadResult DeviceTable::Refresh(const std::string& path) {
  if (path == path_ && watch_ && !watch_->Changed()) return last_;
  return Load(path);
}

DeviceTable::ReadResult DeviceTable::Load(const std::string& path) {
  // Watch first, so that a change made while the file is being read is not missed. The watch
  // stays while the file is missing or unreadable: its return is news like any other.
  if (path != path_ || !watch_) {
    path_ = path;
    watch_ = folders_ != nullptr ? folders_->WatchFile(path) : nullptr;
  }
  last_ = Read(path);
  return last_;
}

DeviceTable::ReadResult DeviceTable::Read(const std::string& path) {
  struct stat st {};
  if (auto failure = StatFailure(path, st)) return Unexpected<ReadFailure>{std::move(*failure)};
  std::ifstream in(path, std::ios::binary);
  if (!in) return Unexpected<ReadFailure>{{false, std::strerror(errno)}};
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Unexpected<ReadFailure>{{false, "read error"}};

  data_ = std::move(contents);
  const Loaded loaded{Parse()};
  Index();
  return loaded;
}

bool DeviceTable::Assign(std::string contents) {
  data_ = std::move(contents);
  path_.clear();  // the next Refresh reads the file again
  const bool truncated = Parse();
  Index();
  return truncated;
}

bool DeviceTable::Parse() {
  starts_.clear();
  lengths_.clear();
  const std::size_t n = data_.size();
  std::size_t from = 0;
  while (from < n) {
    if (starts_.size() == static_cast<std::size_t>(kMaxLines)) return true;
    // A line ends at CR LF or at a lone CR; a lone LF belongs to the line.
    std::size_t cr = data_.find('\r', from);
    if (cr == std::string::npos) cr = n;
    starts_.push_back(from);
    lengths_.push_back(cr - from);
    from = cr + 1;
    if (from < n && data_[from] == '\n' && cr < n) ++from;
  }
  return false;
}

void DeviceTable::Index() {
  tac8_.clear();
  tacShort_.clear();
  tac8_.reserve(starts_.size());
  for (int k = 1; k < LineCount(); ++k) {
    const std::string_view line = Line(k);
    if (line.size() >= 8) {
      tac8_[Key8(line)] = k;  // later lines overwrite: the last match wins
    } else {
      tacShort_[std::string(line)] = k;
    }
  }
  const std::string_view version = Line(LineCount());
  versionLong_ = version.size() >= 8;
  versionKey8_ = versionLong_ ? Key8(version) : 0;
  versionShort_.assign(versionLong_ ? std::string_view() : version);
  names_.clear();
  namesBuilt_ = false;
}

int DeviceTable::FindDevice(std::string_view imei) const {
  if (imei.size() >= 8) {
    const auto it = tac8_.find(Key8(imei));
    return it == tac8_.end() ? 0 : it->second;
  }
  const auto it = tacShort_.find(std::string(imei));
  return it == tacShort_.end() ? 0 : it->second;
}

int DeviceTable::FindTAC(std::string_view imei) const {
  if (LineCount() == 0) return 0;
  // The version line is the last one, so when it matches it is the last match.
  const bool version = imei.size() >= 8 ? versionLong_ && Key8(imei) == versionKey8_
                                        : !versionLong_ && imei == versionShort_;
  return version ? LineCount() : FindDevice(imei);
}

const std::vector<int>& DeviceTable::LinesNamed(const std::string& name) const {
  if (!namesBuilt_) {
    for (int k = 1; k <= LineCount(); ++k) names_[DeviceName(Line(k))].push_back(k);
    namesBuilt_ = true;
  }
  static const std::vector<int> kNone;
  const auto it = names_.find(name);
  return it == names_.end() ? kNone : it->second;
}

}  // namespace vettrix
