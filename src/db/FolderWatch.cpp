#include "db/FolderWatch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string_view>

namespace vettrix {
namespace {

// Raised by the kernel's SIGIO whenever a watched folder has news. A signal handler can only
// reach the process's own memory, so this one counter is shared by every watch.
std::atomic<std::uint64_t> gFolderNews{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

void OnFolderNews(int) {
  gFolderNews.fetch_add(1, std::memory_order_relaxed);
}

bool InstallNewsHandler() {
  struct sigaction action {};
  action.sa_handler = &OnFolderNews;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGIO, &action, nullptr) == 0;
}

// Asks the kernel to signal this thread when `fd` has events to read.
bool SignalOnEvents(int fd) {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] { installed = InstallNewsHandler(); });
  if (!installed) return false;
  f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(::syscall(SYS_gettid))};
  if (::fcntl(fd, F_SETOWN_EX, &owner) != 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_ASYNC) == 0;
}

}  // namespace

FolderWatch::~FolderWatch() {
  Stop();
}

void FolderWatch::Stop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  signalled_ = false;
}

void FolderWatch::Watch(const std::string& folder, const std::string& fileName) {
  Stop();
  fileName_ = fileName;
  // Without the folder there is nothing to watch, and an instance set up only to fail costs as
  // much to close as a working one: milliseconds, on every lookup while the folder is gone.
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF;
  if (::inotify_add_watch(fd_, folder.c_str(), kEvents) < 0) {
    Stop();
    return;
  }
  seen_ = gFolderNews.load(std::memory_order_acquire);
  signalled_ = SignalOnEvents(fd_);
}

bool FolderWatch::Changed() {
  if (fd_ < 0) return true;
  if (signalled_) {
    // No signal since the last look: nothing was queued, and no system call is needed.
    const std::uint64_t news = gFolderNews.load(std::memory_order_acquire);
    if (news == seen_) return false;
    seen_ = news;
  }
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  bool folderGone = false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) folderGone = true;
        if ((event->mask & IN_Q_OVERFLOW) != 0 ||
            (event->len > 0 && fileName_ == std::string_view(event->name))) {
          changed = true;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && !folderGone) return changed;
    // The watch broke, or its folder was moved or deleted and the watch went with it: a folder
    // put in its place would never be heard of. Stop, so that the next read watches anew.
    Stop();
    return true;
  }
}

}  // namespace vettrix
