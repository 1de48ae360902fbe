#pragma once

// Caption writers for the counters and sums. They reuse the caption's storage, since generation
// rewrites these captions for every candidate.

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "app/Caption.h"

namespace vettrix {

// `caption` := `prefix` followed by `value` in plain decimal.
inline void SetCounter(Caption& caption, std::string_view prefix, std::int64_t value) {
  char buffer[64];
  std::memcpy(buffer, prefix.data(), prefix.size());
  char* end = std::to_chars(buffer + prefix.size(), buffer + sizeof buffer, value).ptr;
  caption.assign(buffer, static_cast<std::size_t>(end - buffer));
}

// Appends `value` in plain decimal.
inline void AppendNumber(std::string& text, std::int64_t value) {
  char buffer[24];
  char* end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  text.append(buffer, static_cast<std::size_t>(end - buffer));
}

}  // namespace vettrix
