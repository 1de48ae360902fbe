#pragma once

// The reporting bodies an IMEI's first two digits name: the window shows them, and every record
// of vettrix-cli and the service names them the same.

#include <array>
#include <string_view>

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

}  // namespace vettrix
