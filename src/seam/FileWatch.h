#pragma once

namespace vettrix {

// Tells whether a file may have changed since the last question: written, replaced, renamed or
// removed, however the file is reached. A watch that cannot tell answers true.
class FileWatch {
 public:
  virtual ~FileWatch() = default;
  // True when the file may have changed since the last call.
  virtual bool Changed() = 0;
};

}  // namespace vettrix
