#pragma once

// Invariant checks for the fuzz targets: a broken invariant prints what was expected and aborts,
// so libFuzzer keeps the input that broke it.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

namespace vettrix::fuzz {

inline bool IsAsciiDigits(std::string_view s) {
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The Luhn test written out from its definition: from the right, every second digit doubled and
// its digits added.
inline bool LuhnValid(std::string_view digits) {
  int total = 0;
  bool twice = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    int d = *it - '0';
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    total += d;
    twice = !twice;
  }
  return total % 10 == 0;
}

}  // namespace vettrix::fuzz
