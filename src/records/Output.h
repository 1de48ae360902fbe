#pragma once

// Buffered output to a file descriptor, and the record formats of the command line.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vettrix::records {

// Writes through a large buffer, to a file descriptor or onto the end of a string. The first
// failure ends all writing: later output is dropped, so a closed pipe or a full disk gives one
// outcome, not one per record.
class Output {
 public:
  // Large enough to make few system calls, small enough to stay in the cache while it fills.
  static constexpr std::size_t kBufferSize = 256 << 10;
  // For a string: one record or page at a time.
  static constexpr std::size_t kStringBufferSize = 4 << 10;

  explicit Output(int fd);
  explicit Output(std::string& sink);
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::size_t BufferSize() const { return size_; }
  // Room for `n` <= BufferSize() bytes at the returned pointer; Commit tells how many were used.
  char* Reserve(std::size_t n) {
    assert(n <= size_);
    if (size_ - used_ < n) Flush();
    return buffer_.get() + used_;
  }
  void Commit(char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }
  void Put(std::string_view bytes);
  void Put(char c) { *Reserve(1) = c, ++used_; }

  // Writes out what the buffer holds; false once writing has failed.
  bool Flush();
  bool Failed() const { return error_ != 0; }
  // The system's error number of the failure (EPIPE: the reader went away).
  int Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string* sink_ = nullptr;
  int error_ = 0;
  std::size_t used_ = 0;
  std::size_t size_ = kBufferSize;
  std::unique_ptr<char[]> buffer_;
};

enum class Format { Tsv, Csv, Json, Jsonl };

// Records of named fields in one of the formats. Texts are shown as the window shows them (valid
// UTF-8 as it is, anything else read as Latin-1) and escaped so that every record stays
// well-formed: TSV with \t \n \r \\ \0, CSV quoted as RFC 4180 says, JSON escaped. No format
// writes a control character (IsControlCharacter) as it is, save the line breaks of a quoted CSV
// field: the others become \uXXXX, lest they reach a terminal.
class RecordWriter {
 public:
  // A field's value: a text that needs no escaping, a text already in the format's form
  // (from Encode), or a number.
  struct Piece {
    enum Kind : unsigned char { Plain, Encoded, Number };
    Piece() = default;
    Piece(std::string_view value, Kind form = Plain) : text(value), kind(form) {}
    std::string_view text;
    Kind kind;
  };

  RecordWriter(Output& out, Format format, std::span<const std::string_view> columns);

  // The header line, or the opening of the JSON array: written once, before the first record
  // or by End.
  void Begin();
  bool Begun() const { return begun_; }
  // One record, its fields in the order of the columns.
  void Write(std::span<const Piece> fields);
  void End();  // closes the JSON array

  // The text around field values, for callers that lay out a record of fixed shape themselves
  // (then Written() must follow): what opens the next record, what comes before field i,
  // the quote around a text, what closes a record.
  std::string_view RecordStart() const;
  std::string_view Before(std::size_t i) const { return prefixes_[i]; }
  std::string_view Quote() const { return json_ ? "\"" : ""; }
  std::string_view RecordEnd() const;
  void Written() { anyRecord_ = true; }

  // `bytes` as a field: Plain when it needs no escaping, else encoded into `scratch`.
  Piece Text(std::string_view bytes, std::string& scratch) const;
  void Encode(std::string_view bytes, std::string& out) const;

 private:
  void Escape(std::string_view text, std::string& out) const;

  Output& out_;
  Format format_;
  bool json_;
  std::span<const std::string_view> columns_;
  std::vector<std::string> prefixes_;  // written before each field
  bool anyRecord_ = false;
  bool begun_ = false;
};

}  // namespace vettrix::records
