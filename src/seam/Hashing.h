#pragma once

#include <string>
#include <string_view>

namespace vettrix {

// Digests, for checking a download against what its publisher says it is.
class Hashing {
 public:
  virtual ~Hashing() = default;
  // SHA-256 of `bytes`, in lower-case hexadecimal.
  virtual std::string Sha256Hex(std::string_view bytes) = 0;
};

}  // namespace vettrix
