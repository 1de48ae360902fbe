#pragma once

#include <string>
#include <string_view>

#include "seam/Clock.h"
#include "seam/Result.h"

namespace vettrix {

// A number in the report's plain form: a leading space for values of 0 or more ("-" for
// negative), "." as the point, no 0 before the point below 1, no trailing zeros, up to 15
// significant digits: " 3.276", " 12", " .75".
std::string ReportNumber(double value);

// The leading number of a text, as a quantity: "25" -> 25, "2.5" -> 2.5, "1e3" -> 1000, no
// leading number -> 0.
double LeadingNumber(std::string_view text);

// "Vettrix.v<version with spaces as .>-(mm-dd-yyyy_HHmmss).txt"
std::string ReportFileName(std::string_view versionText, const DateTime& when);

// Why a report was not written.
struct WriteFailure {
  std::string path;    // where it was meant to go
  std::string reason;  // the system's
};

// Writes `contents` into `folder` under `fileName`, never replacing an existing file: a name
// that is taken gets "-2", "-3", ... before ".txt". The file appears whole or not at all. Gives
// the path it went to.
Result<std::string, WriteFailure> WriteNewFile(const std::string& folder,
                                               const std::string& fileName,
                                               std::string_view contents);

}  // namespace vettrix
