#pragma once

#include <array>
#include <string_view>

#include "app/Form1.h"

namespace vettrix {

struct ReportingBody {
  std::string_view code;
  std::string_view text;
  std::array<bool, 9> boxes;  // boxes[n]: CheckN ticked; index 0 unused
};

// The 19 known reporting bodies, searched from top to bottom.
extern const std::array<ReportingBody, 19> kReportingBodies;

// The row for the first two characters of `imei`, or nullptr when the code is unknown.
const ReportingBody* FindReportingBody(std::string_view imei);

// Shows the reporting body of CurrentIMEI in Label9 and ticks its boxes, clearing all others.
void CheckRBI(Form1& form);

}  // namespace vettrix
