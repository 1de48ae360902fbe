#pragma once

#include <string>
#include <string_view>

#include "seam/Result.h"

namespace vettrix {

// Writes `bytes` as the file `path`, whole or not at all: a new file in the same folder (made,
// with the folders on the way, when missing), flushed to the disk, then renamed over the old
// one, so that a reader sees either file, never a part, and a failure leaves the old one as it
// was and nothing beside it. Fails with "PATH: reason".
Result<void> ReplaceFile(const std::string& path, std::string_view bytes);

}  // namespace vettrix
