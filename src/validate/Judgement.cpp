#include "validate/Judgement.h"

#include "app/Text.h"
#include "validate/Imei.h"

namespace vettrix {

Judgement JudgeNormalizedIMEI(std::string_view normalized) {
  if (IsValidNormalizedIMEI(normalized)) return {true, Flaw::None, 0, 15};
  if (normalized.empty()) return {false, Flaw::Empty, 0, 0};
  const std::size_t length = CharCount(normalized);
  if (length < 15) return {false, Flaw::TooShort, 0, length};
  if (length > 15) return {false, Flaw::TooLong, 0, length};
  // Fifteen characters: the first one that is not a digit, counted in characters.
  const bool utf8 = normalized.size() != length;
  std::size_t position = 0;
  for (const char c : normalized) {
    if (utf8 && (static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;
    ++position;
    if (c < '0' || c > '9') return {false, Flaw::NotDigit, position, length};
  }
  return {false, Flaw::CheckDigit, 0, length};
}

char CompletingDigit(std::string_view body) {
  if (body.size() != 14) return '\0';
  return CompletingDigitOf(WeightedSum(body));
}

char CompletingDigitOf(int share) {
  // The body weighs the same whatever follows it: only the last digit is tried.
  if (share < 0) return '\0';
  for (int d = 0; d <= 9; ++d)
    if (IsAcceptedTotal(share + d)) return static_cast<char>('0' + d);
  return '\0';
}

}  // namespace vettrix
