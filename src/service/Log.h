#pragma once

#include <string_view>

namespace vettrix::service {

// One line to standard error (the journal), written whole, whatever other threads write.
void Log(std::string_view line);

}  // namespace vettrix::service
