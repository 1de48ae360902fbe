#include "cli/Output.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "db/DeviceTable.h"

namespace vettrix::cli {
namespace {

// Bytes that need more than a copy in each format (index: Format); bytes 0x80 and up always do,
// as they may need reading as Latin-1.
constexpr std::array<std::array<bool, 256>, 4> MakeSpecial() {
  std::array<std::array<bool, 256>, 4> special{};
  for (auto& table : special)
    for (int c = 0x80; c < 256; ++c) table[static_cast<std::size_t>(c)] = true;
  for (const char c : std::string_view("\t\n\r\\\0", 5))
    special[0][static_cast<unsigned char>(c)] = true;
  for (const char c : std::string_view("\",\n\r")) special[1][static_cast<unsigned char>(c)] = true;
  for (std::size_t f = 2; f < 4; ++f) {
    for (int c = 0; c < 0x20; ++c) special[f][static_cast<std::size_t>(c)] = true;
    special[f]['"'] = special[f]['\\'] = true;
  }
  return special;
}
constexpr auto kSpecial = MakeSpecial();

}  // namespace

Output::Output(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}

void Output::Put(std::string_view bytes) {
  while (!bytes.empty()) {
    if (used_ == kBufferSize) Flush();
    const std::size_t n = std::min(bytes.size(), kBufferSize - used_);
    std::memcpy(buffer_.get() + used_, bytes.data(), n);
    used_ += n;
    bytes.remove_prefix(n);
  }
}

bool Output::Flush() {
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
    : out_(out), format_(format), columns_(columns) {}

void RecordWriter::Begin() {
  if (format_ == Format::Json) {
    out_.Put('[');
    return;
  }
  if (format_ == Format::Jsonl) return;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (i > 0) out_.Put(format_ == Format::Tsv ? '\t' : ',');
    out_.Put(columns_[i]);
  }
  out_.Put(format_ == Format::Tsv ? "\n" : "\r\n");
}

void RecordWriter::StartRecord() {
  field_ = 0;
  if (format_ == Format::Json) out_.Put(anyRecord_ ? ",\n{" : "\n{");
  if (format_ == Format::Jsonl) out_.Put('{');
  anyRecord_ = true;
}

void RecordWriter::Separator() {
  if (format_ == Format::Tsv || format_ == Format::Csv) {
    if (field_ > 0) out_.Put(format_ == Format::Tsv ? '\t' : ',');
  } else {
    if (field_ > 0) out_.Put(',');
    out_.Put('"');
    out_.Put(columns_[field_]);
    out_.Put("\":");
  }
  ++field_;
}

void RecordWriter::Number(std::uint64_t value) {
  Separator();
  char* at = out_.Reserve(24);
  out_.Commit(std::to_chars(at, at + 24, value).ptr);
}

void RecordWriter::Text(std::string_view bytes) {
  Separator();
  const auto& special = kSpecial[static_cast<std::size_t>(format_)];
  bool plain = true;
  for (const char c : bytes) {
    if (special[static_cast<unsigned char>(c)]) {
      plain = false;
      break;
    }
  }
  const bool json = format_ == Format::Json || format_ == Format::Jsonl;
  if (plain) {
    if (json) out_.Put('"');
    out_.Put(bytes);
    if (json) out_.Put('"');
    return;
  }
  bool ascii = true;
  for (const char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii || ValidUtf8(bytes)) {
    Escaped(bytes);
  } else {
    Escaped(DisplayText(bytes));
  }
}

void RecordWriter::Escaped(std::string_view text) {
  switch (format_) {
    case Format::Tsv:
      for (const char c : text) {
        switch (c) {
          case '\t':
            out_.Put("\\t");
            break;
          case '\n':
            out_.Put("\\n");
            break;
          case '\r':
            out_.Put("\\r");
            break;
          case '\\':
            out_.Put("\\\\");
            break;
          case '\0':
            out_.Put("\\0");
            break;
          default:
            out_.Put(c);
        }
      }
      return;
    case Format::Csv: {
      bool quote = false;
      for (const char c : text) quote = quote || c == '"' || c == ',' || c == '\n' || c == '\r';
      if (!quote) {
        out_.Put(text);
        return;
      }
      out_.Put('"');
      for (const char c : text) {
        if (c == '"') out_.Put('"');
        out_.Put(c);
      }
      out_.Put('"');
      return;
    }
    default:
      out_.Put('"');
      for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
          out_.Put('\\');
          out_.Put(c);
        } else if (u < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escape[6] = {'\\', 'u', '0', '0', kHex[u >> 4], kHex[u & 15]};
          out_.Put(std::string_view(escape, 6));
        } else {
          out_.Put(c);
        }
      }
      out_.Put('"');
  }
}

void RecordWriter::EndRecord() {
  switch (format_) {
    case Format::Tsv:
      out_.Put('\n');
      break;
    case Format::Csv:
      out_.Put("\r\n");
      break;
    case Format::Json:
      out_.Put('}');
      break;
    case Format::Jsonl:
      out_.Put("}\n");
      break;
  }
}

void RecordWriter::End() {
  if (format_ == Format::Json) out_.Put(anyRecord_ ? "\n]\n" : "]\n");
}

}  // namespace vettrix::cli
