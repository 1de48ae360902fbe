#pragma once

// Valid IMEIs by trial, by the window's rules: a prefix (a TAC, a reporting body's two digits,
// or nothing) followed by random digits 1 to 9 up to 15 characters, kept when the window's
// verdict accepts it.

#include <cstdint>
#include <string>
#include <vector>

namespace vettrix::records {
class Output;
}  // namespace vettrix::records

namespace vettrix::cli {

// A fast pseudo-random source for long runs, reproducible from its seed (wyrand).
class FastRandom {
 public:
  explicit FastRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // A position 0..n-1, each equally likely.
  std::size_t Below(std::size_t n);

 private:
  std::uint64_t state_;
};

struct GenerateRequest {
  std::vector<std::string> prefixes;  // drawn with equal chance for every candidate
  int randomDigits = 15;              // digits after the prefix
  std::uint64_t count = 0;
  std::uint64_t seed = 0;
  bool distinct = false;
};

struct GenerateOutcome {
  enum class Status { Done, PrefixFailed, OutOfDistinct, OutputFailed };
  Status status = Status::Done;
  std::string prefix;  // the prefix that gave no valid IMEI, for PrefixFailed
  std::uint64_t made = 0;
};

// Writes request.count valid IMEIs, one per line. A prefix that fails kMaxTACAttempts times in a
// row ends the run; so does a distinct run that finds nothing new in kDistinctAttempts attempts.
GenerateOutcome Generate(const GenerateRequest& request, records::Output& out);

inline constexpr std::uint64_t kDistinctAttempts = 1'000'000;

}  // namespace vettrix::cli
