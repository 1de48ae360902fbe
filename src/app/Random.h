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

  double Next() { return static_cast<double>(Step() >> 11) * 0x1.0p-53; }

  // A digit 1..9, never 0: floor(r * 9) + 1 for r the top 32 bits of a step as a fraction.
  char Digit() { return static_cast<char>('1' + (((Step() >> 32) * 9) >> 32)); }

  // A position 1..n, each equally likely.
  int Choose(int n) { return static_cast<int>(Next() * n) + 1; }

  // Appends `count` random digits to `text`.
  void AppendDigits(std::string& text, int count) {
    for (int i = 0; i < count; ++i) text += Digit();
  }

  // Seeds from a time of day in seconds since midnight, fraction included.
  void Seed(double secondsSinceMidnight) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &secondsSinceMidnight, sizeof bits);
    state_ = kStartState ^ bits;
  }

 private:
  // A 64-bit linear congruential step (Knuth's MMIX constants); only its high bits are used,
  // which are the well-mixed ones. Cheap enough to draw every digit separately.
  std::uint64_t Step() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_;
  }

  std::uint64_t state_ = kStartState;
};

}  // namespace vettrix
