#pragma once

#include <string>
#include <string_view>

#include "app/Form1.h"

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

// The program's check of one IMEI: normalises it (writing the result back into `imei` and Text1),
// fills every result field, and for a valid IMEI counts it, lists it and looks its TAC up.
// An empty input is replaced by a random valid IMEI. Returns true for VALID.
bool ValidateIMEI(Form1& form, std::string& imei);

// Raises ValidCount by one.
void IncreaseC(Form1& form);

}  // namespace vettrix
