#include "service/Log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vettrix::service {

void Log(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::write(2, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to tell it
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace vettrix::service
