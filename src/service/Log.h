#pragma once

#include <string_view>

namespace vettrix::service {

// One line to standard error, written whole, whatever other threads write. The journal stamps
// what it is given; anywhere else (a terminal, a file) the line begins with the time, in UTC to
// the millisecond ("2026-12-01T09:30:00.125Z ").
void Log(std::string_view line);

}  // namespace vettrix::service
