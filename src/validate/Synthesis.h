#pragma once

#include <string>

#include "app/Form1.h"
#include "validate/Imei.h"

namespace vettrix {

// The rate `rate` rounded to 2 places (halves to even), in its shortest form with `separator`.
std::string FormatRate(double rate, char separator);

// Rate meter: LastTick := now, then Label29 shows attempts per second since StartTick.
void RateMeterStep(Form1& form);

// Makes random 15-digit candidates until one validates; returns it (also in CurrentIMEI).
std::string GetRandomIMEI(Form1& form);

// Makes candidates of `tac` followed by 7 random digits until one validates, then leaves it in
// CurrentIMEI, FoundIMEI and Text1 and counts it as found. Returns false when it gave up after
// kMaxTACAttempts, leaving the fields of the last attempt.
bool GetIMEIwTAC(Form1& form, std::string_view tac);

}  // namespace vettrix
