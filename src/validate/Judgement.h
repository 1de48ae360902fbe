#pragma once

// The verdict on a normalised IMEI together with what is wrong with it, for the command line and
// anything else that must say why an IMEI is INVALID. The verdict itself is the window's.

#include <cstddef>
#include <string_view>

namespace vettrix {

enum class Flaw { None, Empty, TooShort, TooLong, NotDigit, CheckDigit };

struct Judgement {
  bool valid = false;
  Flaw flaw = Flaw::None;
  std::size_t position = 0;  // the first character that is not a digit, from 1, for NotDigit
  std::size_t length = 0;    // characters of the normalised IMEI
};

// The window's verdict on `normalized` (IsValidNormalizedIMEI) and, when INVALID, the first of
// these that holds: nothing kept, fewer or more than 15 characters, a character that is not a
// digit, a check digit that does not complete the total.
Judgement JudgeNormalizedIMEI(std::string_view normalized);

// The digit that completes the 14 characters of `body` to an IMEI the window accepts, found by
// trial; '\0' when none does (not 14 digits, or fourteen zeros).
char CompletingDigit(std::string_view body);
// The same from the weighted sum of the 14 digits (WeightedSum).
char CompletingDigitOf(int share);

}  // namespace vettrix
