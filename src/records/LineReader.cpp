#include "records/LineReader.h"

#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "records/Output.h"
#include "validate/Imei.h"

namespace vettrix::records {
namespace {

// The first CR or LF in [from, to), or `to`.
const char* FindLineEnd(const char* from, const char* to) {
#ifdef __SSE2__
  // Lines are short: one pass over 16 bytes at a time for both ends beats two memchr calls.
  const __m128i lf16 = _mm_set1_epi8('\n'), cr16 = _mm_set1_epi8('\r');
  for (; to - from >= 16; from += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const int hits =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf16), _mm_cmpeq_epi8(bytes, cr16)));
    if (hits != 0) return from + __builtin_ctz(static_cast<unsigned>(hits));
  }
#endif
  const auto* lf =
      static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
  const char* limit = lf != nullptr ? lf : to;
  const auto* cr =
      static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(limit - from)));
  return cr != nullptr ? cr : limit;
}

}  // namespace

LineReader::LineReader(int fd, Output* beforeRead)
    : fd_(fd), beforeRead_(beforeRead), buffer_(new char[kKeptBytes + kChunk]) {}

bool LineReader::Fill() {
  if (eof_ || error_ != 0) return false;
  if (pos_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (beforeRead_ != nullptr) beforeRead_->Flush();
  for (;;) {
    const ssize_t n =
        ::read(fd_, buffer_.get() + end_, std::min(kChunk, kKeptBytes + kChunk - end_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return false;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    end_ += static_cast<std::size_t>(n);
    return true;
  }
}

bool LineReader::Next(Line& line) {
  line.cut = 0;
  line.overflowKeptCount = 0;
  line.overflowKept.clear();
  for (;;) {
    if (skipLF_ && pos_ < end_) {
      if (buffer_[pos_] == '\n') ++pos_;
      skipLF_ = false;
    }
    const char* start = buffer_.get() + pos_;
    const char* stop = buffer_.get() + end_;
    const char* at = FindLineEnd(start, stop);
    if (at != stop) {
      line.bytes = std::string_view(start, static_cast<std::size_t>(at - start));
      line.number = ++number_;
      pos_ = static_cast<std::size_t>(at - buffer_.get()) + 1;
      if (*at == '\r') skipLF_ = true;
      return true;
    }
    if (skipLF_ && pos_ == end_ && eof_) skipLF_ = false;
    // No line end buffered: read on, unless the line already fills what is kept of it.
    if (end_ - pos_ >= kKeptBytes) break;
    if (!Fill()) {
      if (error_ != 0 || pos_ == end_) return false;
      line.bytes = std::string_view(buffer_.get() + pos_, end_ - pos_);
      line.number = ++number_;
      pos_ = end_;
      return true;
    }
  }

  // A line longer than what is kept: keep its start, read the rest in chunks behind it.
  if (pos_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  line.number = ++number_;
  std::size_t from = kKeptBytes;  // bytes before this are kept; from `from` on they are counted
  for (;;) {
    const char* stop = buffer_.get() + end_;
    const char* at = FindLineEnd(buffer_.get() + from, stop);
    NormalizeInto(std::string_view(buffer_.get() + from,
                                   static_cast<std::size_t>(at - (buffer_.get() + from))),
                  scratch_);
    if (line.overflowKept.size() < kOverflowKept)
      line.overflowKept.append(scratch_, 0, kOverflowKept - line.overflowKept.size());
    line.overflowKeptCount += scratch_.size();
    line.cut += static_cast<std::uint64_t>(at - (buffer_.get() + from));
    if (at != stop) {
      const std::size_t next = static_cast<std::size_t>(at - buffer_.get()) + 1;
      if (*at == '\r') skipLF_ = true;
      // The rest of the chunk moves behind the kept part once this line has been used.
      std::memmove(buffer_.get() + kKeptBytes, buffer_.get() + next, end_ - next);
      end_ = kKeptBytes + (end_ - next);
      pos_ = kKeptBytes;
      line.bytes = std::string_view(buffer_.get(), kKeptBytes);
      return true;
    }
    end_ = from = kKeptBytes;
    if (beforeRead_ != nullptr) beforeRead_->Flush();
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.get() + end_, kChunk);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      error_ = errno;
      return false;
    }
    if (n == 0) {
      eof_ = true;
      pos_ = end_;
      line.bytes = std::string_view(buffer_.get(), kKeptBytes);
      return true;
    }
    end_ += static_cast<std::size_t>(n);
  }
}

}  // namespace vettrix::records
