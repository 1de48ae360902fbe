#include "service/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace vettrix::service {
namespace {

// Whether standard error is the journal's stream: systemd names it in JOURNAL_STREAM
// ("DEVICE:INODE"), which a child started from the service's shell may inherit with another
// standard error, so the stream itself is compared.
bool ToJournal() {
  const char* named = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  if (named == nullptr || ::fstat(2, &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  return std::sscanf(named, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev &&
         inode == st.st_ino;
}

// "2026-12-01T09:30:00.125Z ": the seconds formatted once a second per thread.
void Stamp(std::string& text) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now - seconds).count();
  thread_local std::time_t formatted = -1;
  thread_local char prefix[24] = {};
  const std::time_t second = seconds.count();
  if (second != formatted) {
    std::tm tm{};
    ::gmtime_r(&second, &tm);
    std::strftime(prefix, sizeof prefix, "%Y-%m-%dT%H:%M:%S", &tm);
    formatted = second;
  }
  char stamp[40];
  const int n = std::snprintf(stamp, sizeof stamp, "%s.%03dZ ", prefix, static_cast<int>(millis));
  text.append(stamp, static_cast<std::size_t>(n));
}

}  // namespace

void Log(std::string_view line) {
  // Standard error is the process's own and stays where it was at start.
  static const bool journal = ToJournal();
  std::string text;
  text.reserve(line.size() + 26);
  if (!journal) Stamp(text);
  text += line;
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
