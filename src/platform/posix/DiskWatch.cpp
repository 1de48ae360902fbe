#include "platform/posix/DiskWatch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace vettrix {
namespace {

// Raised by the kernel's SIGIO whenever a watch has news. A signal handler can only reach the
// process's own memory, so this one counter is shared by every watch.
std::atomic<std::uint64_t> gNews{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

void OnNews(int) {
  gNews.fetch_add(1, std::memory_order_relaxed);
}

// Asks the kernel to signal this thread when `fd` has events to read.
bool SignalOnEvents(int fd) {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = &OnNews;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed = ::sigaction(SIGIO, &action, nullptr) == 0;
  });
  if (!installed) return false;
  f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(::syscall(SYS_gettid))};
  if (::fcntl(fd, F_SETOWN_EX, &owner) != 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_ASYNC) == 0;
}

// False for file systems that others change without this kernel knowing (network file systems,
// FUSE), and when the answer cannot be had.
bool ReportsChanges(const std::string& path) {
  constexpr std::uint32_t kUnseen[] = {
      0x6969,      // NFS
      0x517B,      // SMB
      0xFE534D42,  // SMB2
      0xFF534D42,  // CIFS
      0x65735546,  // FUSE
      0x01021997,  // 9P
      0x00C36400,  // Ceph
      0x5346414F,  // AFS
      0x6B414653,  // kAFS
      0x73757245,  // Coda
      0x564C,      // NCP
      0x47504653,  // GPFS
      0x0BD00BD0,  // Lustre
  };
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  const auto type = static_cast<std::uint32_t>(fs.f_type);
  return std::find(std::begin(kUnseen), std::end(kUnseen), type) == std::end(kUnseen);
}

// What a look at the file tells of its contents: any write moves the change time.
struct Stamp {
  bool exists = false;
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

Stamp StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true,
          static_cast<std::uint64_t>(st.st_dev),
          static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size),
          st.st_mtim.tv_sec,
          st.st_mtim.tv_nsec,
          st.st_ctim.tv_sec,
          st.st_ctim.tv_nsec};
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

// Puts the names of `path` on `names`, the first one last (to be taken next).
void PushNames(std::string_view path, std::vector<std::string>& names) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    if (!name.empty() && name != ".") parts.emplace_back(name);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  names.insert(names.end(), parts.rbegin(), parts.rend());
}

// The target of the link `path`; empty when it is no link (any more).
std::string ReadLink(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

constexpr int kMaxLinks = 40;  // as the kernel, which gives up with ELOOP
// A folder on the way moved or removed, so the path leads elsewhere.
constexpr std::uint32_t kSelf = IN_DELETE_SELF | IN_MOVE_SELF;
// A name in a folder created, removed, renamed or replaced.
constexpr std::uint32_t kName = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | kSelf;
// The file written, truncated or its status changed, by whichever name.
constexpr std::uint32_t kContents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | kSelf;

class DiskWatch final : public FileWatch {
 public:
  DiskWatch(std::string path, WatchMode mode) : path_(std::move(path)) {
    if (mode == WatchMode::kNotified) fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) {
      signalled_ = SignalOnEvents(fd_);
      seen_ = gNews.load(std::memory_order_acquire);
    }
    Arm();
  }
  ~DiskWatch() override {
    if (fd_ >= 0) ::close(fd_);
  }
  DiskWatch(const DiskWatch&) = delete;
  DiskWatch& operator=(const DiskWatch&) = delete;

  bool Changed() override {
    // The kernel signals the thread that made the watch: news for another would go unseen.
    assert(std::this_thread::get_id() == maker_);
    if (polling_) {
      const Stamp now = StampOf(path_);
      if (now == stamp_) return false;
      Arm();  // the file may now be where the kernel's news reaches
      return true;
    }
    if (signalled_) {
      // No signal since the last look: nothing was queued, and no system call is needed.
      const std::uint64_t news = gNews.load(std::memory_order_acquire);
      if (news == seen_) return false;
      seen_ = news;
    }
    if (!Drain()) return false;
    Arm();  // the path may lead elsewhere now
    return true;
  }

 private:
  struct Place {
    int wd;
    std::string name;  // a name in the watched folder; empty: the watched folder or file itself
  };

  // Watches the path as it resolves now, replacing the earlier watches, and polls when the
  // kernel cannot tell about every part of it. Done before the file is read again, so that a
  // change made meanwhile is news.
  void Arm() {
    for (const Place& place : places_) ::inotify_rm_watch(fd_, place.wd);
    places_.clear();
    stamp_ = StampOf(path_);
    polling_ = fd_ < 0 || !Walk();
    if (polling_) {
      for (const Place& place : places_) ::inotify_rm_watch(fd_, place.wd);
      places_.clear();
    }
  }

  // Follows the path one name at a time as the kernel resolves it. False when a part cannot be
  // watched.
  bool Walk() {
    std::vector<std::string> names;
    PushNames(path_, names);
    std::string folder = path_.starts_with('/') ? "/" : ".";
    int links = 0;
    while (!names.empty()) {
      const std::string name = std::move(names.back());
      names.pop_back();
      const std::string entry = Join(folder, name);
      struct stat st {};
      if (name == "..") {
        folder = entry;
        continue;
      }
      if (!names.empty() && ::lstat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!Add(entry, kSelf | IN_ONLYDIR | IN_DONT_FOLLOW, {})) return false;
        folder = entry;
        continue;
      }
      // A link, the file, or a name that is missing: watched in its folder before the look, so
      // that a change right after the look is news.
      if (!Add(folder, kName | IN_ONLYDIR, name)) return false;
      if (::lstat(entry.c_str(), &st) != 0) return true;  // its creation will be news
      if (S_ISLNK(st.st_mode)) {
        const std::string target = ReadLink(entry);
        if (target.empty() || ++links > kMaxLinks) return true;  // unreadable as it stands
        if (target.starts_with('/')) folder.assign(1, '/');      // gcc 12 warns wrongly on = "/"
        PushNames(target, names);
        continue;
      }
      // The file, or not a folder where one is needed: the path leads nowhere while it stays.
      return !names.empty() || Add(entry, kContents | IN_DONT_FOLLOW, {});
    }
    return true;
  }

  bool Add(const std::string& target, std::uint32_t mask, std::string_view name) {
    if (!ReportsChanges(target)) return false;
    const int wd = ::inotify_add_watch(fd_, target.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return false;
    places_.push_back({wd, std::string(name)});
    return true;
  }

  // Reads every queued event; true when one concerns the path. A broken instance is news, and
  // the watches set up anew poll if it cannot watch.
  bool Drain() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return changed;
      if (n <= 0) return true;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        changed = changed || Concerns(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // Events of watches already replaced, and of names beside the watched ones, do not count.
  bool Concerns(const inotify_event& event) const {
    if ((event.mask & IN_Q_OVERFLOW) != 0) return true;
    const std::string_view name = event.len > 0 ? std::string_view(event.name) : "";
    return std::any_of(places_.begin(), places_.end(), [&](const Place& place) {
      return place.wd == event.wd && (name.empty() || place.name == name);
    });
  }

  std::string path_;
  std::thread::id maker_ = std::this_thread::get_id();
  int fd_ = -1;
  bool signalled_ = false;  // the kernel signals news on fd_
  std::uint64_t seen_ = 0;  // the news count at the last look
  bool polling_ = false;
  Stamp stamp_;  // the file's status when last watched anew
  std::vector<Place> places_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchDiskFile(const std::string& path, WatchMode mode) {
  return std::make_unique<DiskWatch>(path, mode);
}

}  // namespace vettrix
