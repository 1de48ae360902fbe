#pragma once

// The window's device database: loading it into the model, showing its version and count, and
// the lookup that names the device of an IMEI.

#include <string>
#include <string_view>

#include "app/Form1.h"
#include "db/Database.h"

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

}  // namespace vettrix
