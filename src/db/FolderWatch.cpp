#include "db/FolderWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace vettrix {

FolderWatch::~FolderWatch() {
  Stop();
}

void FolderWatch::Stop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void FolderWatch::Watch(const std::string& folder) {
  Stop();
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF;
  if (::inotify_add_watch(fd_, folder.c_str(), kEvents) < 0) Stop();
}

bool FolderWatch::Changed() {
  if (fd_ < 0) return true;
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      changed = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return changed;
    // The watch broke (folder gone, queue trouble): from now on always look.
    Stop();
    return true;
  }
}

}  // namespace vettrix
