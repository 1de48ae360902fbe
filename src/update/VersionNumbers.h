#pragma once

// How a version file and a version number are read: the program's check, the database's check
// and the database update all read them alike. Pure, so that tests and fuzz targets can drive
// them without a window.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vettrix {

// The first line of a file's contents: everything before the first CR or LF.
std::string_view FirstLine(std::string_view contents);

// A plain decimal number: optional blanks, an optional sign, digits with an optional fraction and
// an optional exponent, optional blanks. Empty when the text is anything else or not finite.
std::optional<double> ParseDecimal(std::string_view text);

// A program version number as a 16-bit signed whole number: a fraction rounds to the nearest
// whole number, a half to the even neighbour. Empty when the text is not a number or the result
// lies outside -32768..32767.
std::optional<std::int16_t> ProgramVersionValue(std::string_view text);

// A database version number as the floor of a double. Empty when the text is not a number.
std::optional<double> DatabaseVersionValue(std::string_view text);

}  // namespace vettrix
