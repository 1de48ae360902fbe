#pragma once

// Reads lines from a file descriptor through one large buffer, without an allocation per line.
// A line ends at LF, CR LF or a lone CR; the last line needs no end.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vettrix::records {

class Output;

// The UTF-8 byte order mark a file may open with; it is not part of the first line.
inline constexpr std::string_view kBom = "\xEF\xBB\xBF";

struct Line {
  std::string_view bytes;               // the line, at most LineReader::kKeptBytes of it
  std::uint64_t number = 0;             // counted from 1
  std::uint64_t cut = 0;                // bytes beyond `bytes` that were read but not kept
  std::string overflowKept;             // of those, the first few that the IMEI normalisation keeps
  std::uint64_t overflowKeptCount = 0;  // and how many it keeps in all
};

class LineReader {
 public:
  static constexpr std::size_t kChunk = 256 << 10;  // per read: stays in the cache while used
  // Longer lines are read to their end but only this much is kept, so memory stays flat.
  static constexpr std::size_t kKeptBytes = 4 << 20;
  // Of the bytes beyond, this many kept by the normalisation are enough to judge the line.
  static constexpr std::size_t kOverflowKept = 64;

  // `beforeRead`, when set, is flushed before every read, so that records reach a reader of
  // the output while the input waits for more.
  LineReader(int fd, Output* beforeRead);

  // The next line; false at the end of the input or on a read error (Error() tells which).
  // The line stays valid until the next call.
  bool Next(Line& line);
  int Error() const { return error_; }
  // The bytes read but not yet returned (the next line's start, when buffered).
  std::string_view Ahead() const { return std::string_view(buffer_.get() + pos_, end_ - pos_); }

 private:
  bool Fill();  // reads more after the buffered bytes; false at the end or on an error

  int fd_;
  Output* beforeRead_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  bool skipLF_ = false;  // the last line ended at a CR that may be followed by LF
  int error_ = 0;
  std::uint64_t number_ = 0;
  std::string scratch_;  // the normalised overflow of a long line
};

}  // namespace vettrix::records
