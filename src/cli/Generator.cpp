#include "cli/Generator.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "records/Output.h"
#include "validate/Imei.h"

namespace vettrix::cli {

using namespace records;  // the records and formats it shares with the service
namespace {

__extension__ using Wide = unsigned __int128;

// Two random digits 1..9 at once, from one of 81 values: their characters and their share of
// the Luhn total at an odd and the following even position.
struct DigitPair {
  char text[2];
  int weight;
};
constexpr std::array<DigitPair, 81> MakePairs() {
  std::array<DigitPair, 81> pairs{};
  for (int v = 0; v < 81; ++v) {
    const int odd = v / 9 + 1, even = v % 9 + 1;
    pairs[static_cast<std::size_t>(v)] = {
        {static_cast<char>('0' + odd), static_cast<char>('0' + even)},
        odd + (even * 2 > 9 ? even * 2 - 9 : even * 2)};
  }
  return pairs;
}
constexpr auto kDigitPairs = MakePairs();

// Fills `pairs` pairs of random digits and one more digit at `at` from the base-81 (and last
// base-9) expansion of 64-bit fractions, four pairs to a fraction (26 of its 64 bits, so every
// digit stays uniform to within 2^-38); returns their share of the Luhn total.
template <int kPairs>
int FillDigits(FastRandom& random, char* at) {
  std::uint64_t words[2] = {random.Next(), kPairs > 3 ? random.Next() : 0};
  int total = 0;
  for (int i = 0; i < kPairs; ++i) {
    std::uint64_t& x = words[i / 4];
    const Wide t = static_cast<Wide>(x) * 81;
    x = static_cast<std::uint64_t>(t);
    const DigitPair& pair = kDigitPairs[static_cast<std::size_t>(t >> 64)];
    std::memcpy(at + std::ptrdiff_t{2} * i, pair.text, 2);
    total += pair.weight;
  }
  const Wide t = static_cast<Wide>(words[kPairs / 4]) * 9;
  const int last = static_cast<int>(t >> 64) + 1;
  at[std::ptrdiff_t{2} * kPairs] = static_cast<char>('0' + last);
  return total + last;
}

// The Luhn share of a prefix of digits at positions 1..n, or -1 when it is no such prefix.
int PrefixWeight(const std::string& prefix) {
  int weight = 0;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const int d = prefix[i] - '0';
    if (d < 0 || d > 9) return -1;
    weight += i % 2 == 0 ? d : (d * 2 > 9 ? d * 2 - 9 : d * 2);
  }
  return weight;
}

// IMEIs already written, for --distinct: an open-addressing set of their values.
class Seen {
 public:
  bool Insert(std::uint64_t value) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    std::size_t i = Slot(value);
    while (slots_[i] != 0) {
      if (slots_[i] == value) return false;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = value;
    ++count_;
    return true;
  }

 private:
  std::size_t Slot(std::uint64_t value) const {
    return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ULL) >> 20) & (slots_.size() - 1);
  }
  void Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(1024, old.size() * 2), 0);
    count_ = 0;
    for (const std::uint64_t v : old)
      if (v != 0) Insert(v);
  }
  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

std::uint64_t ValueOf(const char* imei) {
  std::uint64_t value = 0;
  for (int i = 0; i < 15; ++i) value = value * 10 + static_cast<std::uint64_t>(imei[i] - '0');
  return value;
}

}  // namespace

std::uint64_t FastRandom::Next() {
  state_ += 0xA0761D6478BD642FULL;
  const Wide t = static_cast<Wide>(state_) * (state_ ^ 0xE7037ED1A0B428DBULL);
  return static_cast<std::uint64_t>(t >> 64) ^ static_cast<std::uint64_t>(t);
}

std::size_t FastRandom::Below(std::size_t n) {
  return static_cast<std::size_t>((static_cast<Wide>(Next()) * n) >> 64);
}

namespace {

// The run, for prefixes that all leave `kPairs` pairs and one digit to draw (8-digit TACs: 3,
// two reporting-body digits: 6, none: 7), or for any prefixes with kPairs 0.
template <int kPairs>
GenerateOutcome Run(const GenerateRequest& request, Output& out) {
  GenerateOutcome outcome;
  FastRandom random(request.seed);
  Seen seen;
  const std::size_t n = request.prefixes.size();
  std::vector<int> weights(n), failures(n, 0);
  for (std::size_t k = 0; k < n; ++k) weights[k] = PrefixWeight(request.prefixes[k]);
  std::uint64_t sinceNew = 0;

  while (outcome.made < request.count) {
    const std::size_t k = n == 1 ? 0 : random.Below(n);
    const std::string& prefix = request.prefixes[k];
    bool valid;
    std::size_t length;
    char* at;
    if constexpr (kPairs > 0) {
      // The usual case: the digits' Luhn share is known as they are drawn, and the window's
      // verdict confirms each candidate whose total passes.
      length = 15;
      at = out.Reserve(16);
      constexpr std::ptrdiff_t kFixed = 14 - std::ptrdiff_t{2} * kPairs;
      std::copy_n(prefix.data(), kFixed, at);
      const int total = weights[k] + FillDigits<kPairs>(random, at + kFixed);
      valid = total % 10 == 0 && IsValidNormalizedIMEI(std::string_view(at, 15));
    } else {
      length = prefix.size() + static_cast<std::size_t>(request.randomDigits);
      at = out.Reserve(length + 1);
      std::copy(prefix.begin(), prefix.end(), at);
      for (std::size_t i = prefix.size(); i < length; ++i)
        at[i] = static_cast<char>('1' + random.Below(9));
      valid = IsValidNormalizedIMEI(std::string_view(at, length));
    }
    if (!valid) {
      if (++failures[k] >= kMaxTACAttempts) {
        outcome.status = GenerateOutcome::Status::PrefixFailed;
        outcome.prefix = prefix;
        return outcome;
      }
      if (request.distinct && ++sinceNew >= kDistinctAttempts) {
        outcome.status = GenerateOutcome::Status::OutOfDistinct;
        return outcome;
      }
      continue;
    }
    failures[k] = 0;
    if (request.distinct && !seen.Insert(ValueOf(at))) {
      if (++sinceNew >= kDistinctAttempts) {
        outcome.status = GenerateOutcome::Status::OutOfDistinct;
        return outcome;
      }
      continue;
    }
    sinceNew = 0;
    at[length] = '\n';
    out.Commit(at + length + 1);
    ++outcome.made;
    if (out.Failed()) {
      outcome.status = GenerateOutcome::Status::OutputFailed;
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

GenerateOutcome Generate(const GenerateRequest& request, Output& out) {
  // Prefixes of digits with 15 characters left to fill in pairs and one digit take the fast run.
  std::size_t length = request.prefixes.empty() ? 1 : request.prefixes.front().size();
  for (const std::string& prefix : request.prefixes)
    if (prefix.size() != length || PrefixWeight(prefix) < 0) length = 1;
  if (length + static_cast<std::size_t>(request.randomDigits) == 15) {
    switch (length) {
      case 0:
        return Run<7>(request, out);
      case 2:
        return Run<6>(request, out);
      case 8:
        return Run<3>(request, out);
      default:
        break;
    }
  }
  return Run<0>(request, out);
}

}  // namespace vettrix::cli
