#pragma once

#include <string>

#include "app/Form1.h"
#include "validate/Imei.h"

namespace vettrix {

// The program's check of one IMEI: normalises it (writing the result back into `imei` and Text1),
// fills every result field, and for a valid IMEI counts it, lists it and looks its TAC up.
// An empty input is replaced by a random valid IMEI. Returns true for VALID.
bool ValidateIMEI(Form1& form, std::string& imei);

// Raises ValidCount by one.
void IncreaseC(Form1& form);

}  // namespace vettrix
