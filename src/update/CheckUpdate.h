#pragma once

// The two version checks of the Update menu.

#include <string_view>

#include "app/Branding.h"
#include "app/Form1.h"
#include "update/VersionNumbers.h"

namespace vettrix {

// Downloads serviceUrl + "/ver" into update.dat, keeps its first line in OnlineProgramVersion and
// tells the user how it compares with ProgramVersionNumber.
void CheckUpdate(Form1& form, std::string_view serviceUrl);

// Downloads serviceUrl + "/dbver" into db.dat and tells the user how its first line compares with
// DatabaseVersionNumber.
void CheckUpdateDB(Form1& form, std::string_view serviceUrl);

}  // namespace vettrix
