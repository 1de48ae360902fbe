#pragma once

// The two version checks of the Update menu, and the conversions they rest on. The conversions are
// pure so that tests and fuzz targets can drive them without a window.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/Branding.h"
#include "app/Form1.h"

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

// Downloads serviceUrl + "/ver" into update.dat, keeps its first line in OnlineProgramVersion and
// tells the user how it compares with ProgramVersionNumber.
void CheckUpdate(Form1& form, std::string_view serviceUrl);

// Downloads serviceUrl + "/dbver" into db.dat and tells the user how its first line compares with
// DatabaseVersionNumber.
void CheckUpdateDB(Form1& form, std::string_view serviceUrl);

}  // namespace vettrix
