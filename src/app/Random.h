#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace vettrix {

// The program's one uniform pseudo-random source, r in [0, 1). It starts from a fixed state, so
// the numbers drawn before the first Seed are the same in every run.
class Random {
 public:
  static constexpr std::uint64_t kStartState = 0x5EED'0F'7E77'1C'2026ULL;

  double Next() {
    // splitmix64: fast, full period, good enough for drawing digits.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }

  // A digit 1..9, never 0.
  char Digit() { return static_cast<char>('1' + static_cast<int>(Next() * 9.0)); }

  // Appends `count` random digits to `text`.
  void AppendDigits(std::string& text, int count) {
    for (int i = 0; i < count; ++i) text += Digit();
  }

  // A position 1..n, each equally likely.
  int Choose(int n) { return static_cast<int>(Next() * n) + 1; }

  // Seeds from a time of day in seconds since midnight, fraction included.
  void Seed(double secondsSinceMidnight) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &secondsSinceMidnight, sizeof bits);
    state_ = kStartState ^ bits;
  }

 private:
  std::uint64_t state_ = kStartState;
};

}  // namespace vettrix
