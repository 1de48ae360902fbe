#pragma once

#include <string>

namespace vettrix {

// Tells cheaply whether anything in a folder may have changed since the last question: files
// created, written, renamed or removed there. The kernel queues the news as the change happens,
// so the very next question sees it. Without the kernel's help it always answers "maybe".
class FolderWatch {
 public:
  FolderWatch() = default;
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Starts watching `folder`, replacing an earlier watch.
  void Watch(const std::string& folder);
  // True when something may have changed since the last call.
  bool Changed();

 private:
  void Stop();
  int fd_ = -1;
};

}  // namespace vettrix
