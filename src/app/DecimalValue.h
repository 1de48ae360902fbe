#pragma once

#include <cstddef>
#include <string_view>

namespace vettrix {

// The value of a decimal number text: an optional sign, digits with an optional fraction (at
// least one digit in all) and an optional exponent, nothing else. As strtod reads it in the C
// locale, whatever the user's locale: a magnitude beyond the largest double gives an infinity, one
// below the smallest gives 0, however many digits the text has.
double DecimalValue(std::string_view number);

// Length of the decimal number at the start of `text` in the shape DecimalValue reads (an
// exponent only where digits follow its "e"); 0 when the text does not start with one.
std::size_t DecimalLength(std::string_view text);

}  // namespace vettrix
