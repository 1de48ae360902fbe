#include "records/Output.h"

#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "app/DeviceTable.h"

namespace vettrix::records {
namespace {

// Bytes that need more than a copy in each format (index: Format); bytes 0x80 and up always do,
// as they may need reading as Latin-1.
constexpr std::array<std::array<bool, 256>, 4> MakeSpecial() {
  std::array<std::array<bool, 256>, 4> special{};
  for (auto& table : special)
    for (int c = 0x80; c < 256; ++c) table[static_cast<std::size_t>(c)] = true;
  // Control characters, in every format.
  for (auto& table : special) {
    for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = true;
    table[0x7F] = true;
  }
  special[0]['\\'] = true;
  special[1]['"'] = special[1][','] = true;
  for (std::size_t f = 2; f < 4; ++f) special[f]['"'] = special[f]['\\'] = true;
  return special;
}
constexpr auto kSpecial = MakeSpecial();

// The control character `cp` as \uXXXX: JSON's form, which TSV and CSV borrow.
void PutEscaped(char32_t cp, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[6] = {
      '\\', 'u', kHex[(cp >> 12) & 15], kHex[(cp >> 8) & 15], kHex[(cp >> 4) & 15], kHex[cp & 15]};
  out.append(escape, 6);
}

}  // namespace

Output::Output(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}

Output::Output(std::string& sink)
    : sink_(&sink), size_(kStringBufferSize), buffer_(new char[kStringBufferSize]) {}

void Output::Put(std::string_view bytes) {
  while (!bytes.empty()) {
    if (used_ == size_) Flush();
    const std::size_t n = std::min(bytes.size(), size_ - used_);
    std::memcpy(buffer_.get() + used_, bytes.data(), n);
    used_ += n;
    bytes.remove_prefix(n);
  }
}

bool Output::Flush() {
  if (sink_ != nullptr) {
    sink_->append(buffer_.get(), used_);
    used_ = 0;
    return true;
  }
  std::size_t done = 0;
  while (error_ == 0 && done < used_) {
    const ssize_t n = ::write(fd_, buffer_.get() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
  return error_ == 0;
}

RecordWriter::RecordWriter(Output& out, Format format, std::span<const std::string_view> columns)
    : out_(out),
      format_(format),
      json_(format == Format::Json || format == Format::Jsonl),
      columns_(columns) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    std::string prefix = i == 0 ? "" : format == Format::Tsv ? "\t" : ",";
    if (json_) {
      prefix += '"';
      prefix += columns[i];
      prefix += "\":";
    }
    prefixes_.push_back(std::move(prefix));
  }
}

void RecordWriter::Begin() {
  if (std::exchange(begun_, true)) return;
  if (format_ == Format::Json) {
    out_.Put('[');
    return;
  }
  if (format_ == Format::Jsonl) return;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    out_.Put(prefixes_[i]);
    out_.Put(columns_[i]);
  }
  out_.Put(format_ == Format::Tsv ? "\n" : "\r\n");
}

std::string_view RecordWriter::RecordStart() const {
  if (format_ == Format::Json) return anyRecord_ ? ",\n{" : "\n{";
  return format_ == Format::Jsonl ? "{" : "";
}

std::string_view RecordWriter::RecordEnd() const {
  switch (format_) {
    case Format::Tsv:
      return "\n";
    case Format::Csv:
      return "\r\n";
    case Format::Json:
      return "}";
    default:
      return "}\n";
  }
}

void RecordWriter::Write(std::span<const Piece> fields) {
  assert(fields.size() == columns_.size());
  Begin();
  const std::string_view start = RecordStart(), end = RecordEnd();
  anyRecord_ = true;
  std::size_t total = start.size() + end.size();
  for (std::size_t i = 0; i < fields.size(); ++i)
    total += prefixes_[i].size() + fields[i].text.size() + 2;
  if (total > out_.BufferSize()) {
    // A record of megabytes goes out piece by piece.
    out_.Put(start);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const bool quote = json_ && fields[i].kind == Piece::Plain;
      out_.Put(prefixes_[i]);
      if (quote) out_.Put('"');
      out_.Put(fields[i].text);
      if (quote) out_.Put('"');
    }
    out_.Put(end);
    return;
  }
  char* at = out_.Reserve(total);
  // Most pieces are a few bytes: copied inline, not through a call to memcpy.
  auto put = [&at](std::string_view text) {
    const char* from = text.data();
    const std::size_t n = text.size();
    if (n >= 8 && n <= 16) {
      std::memcpy(at, from, 8);
      std::memcpy(at + n - 8, from + n - 8, 8);
    } else if (n < 8) {
      for (std::size_t i = 0; i < n; ++i) at[i] = from[i];
    } else {
      std::memcpy(at, from, n);
    }
    at += n;
  };
  put(start);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const bool quote = json_ && fields[i].kind == Piece::Plain;
    put(prefixes_[i]);
    if (quote) *at++ = '"';
    put(fields[i].text);
    if (quote) *at++ = '"';
  }
  put(end);
  out_.Commit(at);
}

void RecordWriter::End() {
  Begin();
  if (format_ == Format::Json) out_.Put(anyRecord_ ? "\n]\n" : "]\n");
}

RecordWriter::Piece RecordWriter::Text(std::string_view bytes, std::string& scratch) const {
  const auto& special = kSpecial[static_cast<std::size_t>(format_)];
  for (const char c : bytes) {
    if (special[static_cast<unsigned char>(c)]) {
      Encode(bytes, scratch);
      return {scratch, Piece::Encoded};
    }
  }
  return {bytes, Piece::Plain};
}

void RecordWriter::Encode(std::string_view bytes, std::string& out) const {
  out.clear();
  bool ascii = true;
  for (const char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii || IsValidUtf8(bytes)) {
    Escape(bytes, out);
  } else {
    Escape(DisplayText(bytes), out);
  }
}

void RecordWriter::Escape(std::string_view text, std::string& out) const {
  // `text` is valid UTF-8: each character is copied, unless it needs escaping.
  const bool csv = format_ == Format::Csv;
  bool quote = false;
  if (csv) {
    for (const char c : text) quote = quote || c == '"' || c == ',' || c == '\n' || c == '\r';
    if (quote) out += '"';
  } else if (json_) {
    out += '"';
  }
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t size = CharSize(text, at);
    const char c = text[at];
    const char32_t cp =
        size == 1 ? static_cast<unsigned char>(c) : CodePointOf(text.substr(at, size));
    if (format_ == Format::Tsv && (c == '\t' || c == '\n' || c == '\r' || c == '\\' || c == '\0')) {
      out += '\\';
      out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\0' ? '0' : '\\';
    } else if (csv && c == '"') {
      out += "\"\"";
    } else if (json_ && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else if (IsControlCharacter(cp) && !(csv && (c == '\n' || c == '\r'))) {
      // A quoted CSV field holds its line breaks; no other control character is written as it
      // is, lest it reach a terminal.
      PutEscaped(cp, out);
    } else {
      out.append(text, at, size);
    }
    at += size;
  }
  if (quote || json_) out += '"';
}

}  // namespace vettrix::records
