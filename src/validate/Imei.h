#pragma once

// What an IMEI is, by the window's rules: how a text is normalised, how its digits are weighed,
// and which totals are accepted. Every program judges by these.

#include <string>
#include <string_view>

namespace vettrix {

// The text without leading and trailing spaces (only the space character).
std::string_view TrimSpaces(std::string_view text);

// The text with separators (" - / . \ _ ~ # @ ,") dropped and placeholders ("X", "x", "*")
// turned into "0"; every other character is kept.
std::string NormalizeIMEI(std::string_view text);
// The same into `out`, reusing its storage; `text` must not point into `out`.
void NormalizeInto(std::string_view text, std::string& out);

// The Luhn total of up to 15 digits as the window weighs them (positions 2 to 14 doubled, the
// digits of a product added); -1 when a character is not a digit.
int WeightedSum(std::string_view digits);
// The window's rule on a total: a multiple of 10 from 10 to 160.
bool IsAcceptedTotal(int total);

// The verdict alone: `normalized` is 15 digits whose Luhn total is a multiple of 10 between 10
// and 160.
bool IsValidNormalizedIMEI(std::string_view normalized);

// The verdict on raw input: trim spaces, normalise, check.
bool IsValidIMEI(std::string_view text);

// A digit doubled, with the digits of the product added, by the digit: 0 2 4 6 8 1 3 5 7 9.
inline constexpr std::string_view kDoubledDigits = "0246813579";

// Attempts synthesis makes on one TAC before it gives up: a TAC that is not 8 digits can never
// give a valid IMEI, while an 8-digit TAC fails this often with a chance of about 1e-46.
inline constexpr int kMaxTACAttempts = 1000;

}  // namespace vettrix
