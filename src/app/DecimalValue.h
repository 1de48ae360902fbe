#pragma once

#include <string_view>

namespace vettrix {

// The value of a decimal number text: an optional sign, digits with an optional fraction (at
// least one digit in all) and an optional exponent, nothing else. As strtod reads it in the C
// locale, whatever the user's locale: a magnitude beyond the largest double gives an infinity, one
// below the smallest gives 0, however many digits the text has.
double DecimalValue(std::string_view number);

}  // namespace vettrix
