#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/Form1.h"

namespace vettrix {

// Reads the device database the platform names (mobidex.csv) into the device table, shows its
// version and device count. On a missing or unreadable file: a fatal message, then the window
// closes. Returns false in that case.
bool LoadMobidex(Form1& form);
// Reads the database at `path` into the device table and shows its version and device count,
// without a message; on failure the table and the captions stay as they were.
DeviceTable::ReadResult ShowMobidex(Form1& form, const std::string& path);

// Looks the TAC (first 8 characters) of `imei` up in the database, re-reading the file first
// when it changed on disk. On a match: manufacturer and model shown, TACFound set.
void Mobidex(Form1& form, std::string_view imei);

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

// Why `devices` cannot serve as a published or installed database, or "" when it can: at least
// one device line (an 8-digit TAC, a manufacturer and a model), every line but the last one of
// them, and last the version line with a version text ("v" with digits and dots); no line holds
// a control character (IsControlCharacter). `truncated`: the file had more lines than the table
// holds.
std::string DatabaseFault(const DeviceTable& devices, bool truncated = false);

// Characters 10 to 19 of the version line as shown, and the version number made from them.
std::string VersionTextOf(std::string_view versionLine);
std::string VersionNumberOf(std::string_view versionText);

// How database versions are ordered where the service publishes and a client installs: by the
// first digit of the version text, then by its version number (which leaves that digit out, so
// v2.00.0001 is newer than v1.26.1206). Nothing when the text holds other than "v", digits and
// dots, or no digit.
std::optional<std::pair<int, double>> VersionOrder(std::string_view versionText);

}  // namespace vettrix
