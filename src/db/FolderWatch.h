#pragma once

#include <cstdint>
#include <string>

namespace vettrix {

// Tells cheaply whether a file may have changed since the last question: written, replaced,
// renamed or removed, or its folder gone. The kernel queues the news as the change happens
// and signals it, so the very next question sees it, and a question while nothing happened
// costs no system call. Without the kernel's help it always answers "maybe".
class FolderWatch {
 public:
  FolderWatch() = default;
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Starts watching the file `fileName` in `folder`, replacing an earlier watch.
  void Watch(const std::string& folder, const std::string& fileName);
  // True when the file may have changed since the last call.
  bool Changed();
  // False when the kernel cannot watch (then Changed always answers true).
  bool Active() const { return fd_ >= 0; }

 private:
  void Stop();
  int fd_ = -1;
  std::string fileName_;
  bool signalled_ = false;  // the kernel signals news on fd_
  std::uint64_t seen_ = 0;  // the news count at the last look
};

}  // namespace vettrix
