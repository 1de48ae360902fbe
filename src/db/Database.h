#pragma once

// The device database's form, as every program reads and writes it: the version line that ends
// it, its version numbers and their order, and what makes a file a database at all. Pure: the
// window's showing of it is db/Mobidex.h.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/DeviceTable.h"
#include "seam/Result.h"

namespace vettrix {

// The first field of the version line as this program writes it: 8 characters that no TAC can
// equal, so that no lookup takes the version for a device. Older files have "00000000" there.
inline constexpr std::string_view kVersionLineTag = "VERSION_";

// The version line for `versionText` ("v0.99.0000": characters 10 to 19) and a note on the data.
std::string VersionLine(std::string_view versionText, std::string_view note);
// `text` has the form of a version text: v, a digit, a dot, two digits, a dot, four digits.
bool IsVersionText(std::string_view text);
// `line` can end a database as its version line: 8 characters, a comma, and at characters 10 to
// 19 a version text of "v" with digits and dots that gives a version number.
bool IsVersionLine(std::string_view line);

// Whether `devices` can serve as a published or installed database, or why not: at least one
// device line (an 8-digit TAC, a manufacturer and a model), every line but the last one of them,
// and last the version line with a version text ("v" with digits and dots); no line holds a
// control character (IsControlCharacter). `truncated`: the file had more lines than the table
// holds.
Result<void> CheckDatabase(const DeviceTable& devices, bool truncated = false);

// Characters 10 to 19 of the version line as shown, and the version number made from them.
std::string VersionTextOf(std::string_view versionLine);
std::string VersionNumberOf(std::string_view versionText);

// How database versions are ordered where the service publishes and a client installs: by the
// first digit of the version text, then by its version number (which leaves that digit out, so
// v2.00.0001 is newer than v1.26.1206). Nothing when the text holds other than "v", digits and
// dots, or no digit.
std::optional<std::pair<int, double>> VersionOrder(std::string_view versionText);

}  // namespace vettrix
