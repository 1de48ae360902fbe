#pragma once

#include <memory>
#include <string>

#include "seam/FileWatch.h"

namespace vettrix {

enum class WatchMode {
  kNotified,  // the kernel's news where the file systems give it, else as kPolling
  kPolling,   // a look at the file's status on every question
};

// A watch on the file `path` reaches: every folder on the way, every symbolic link on the way
// (of folders or of the file, in chains), the name the file has in its folder, and the file
// itself, so that an edit through another hard link is seen too. While nothing changes a
// question costs no system call: the kernel signals its news (SIGIO; the first watch installs
// the process's handler), and the thread that made the watch must be the one that asks.
// Where changes can happen unseen by this machine's kernel (network and FUSE file systems), or
// without inotify, every question compares the file's identity, size and times instead.
std::unique_ptr<FileWatch> WatchDiskFile(const std::string& path,
                                         WatchMode mode = WatchMode::kNotified);

}  // namespace vettrix
