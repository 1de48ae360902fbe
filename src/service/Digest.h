#pragma once

#include <string>
#include <string_view>

namespace vettrix::service {

// `bytes` in lower-case hexadecimal.
std::string Hex(std::string_view bytes);

// SHA-256 of `bytes`, in lower-case hexadecimal (OpenSSL's).
std::string Sha256Hex(std::string_view bytes);

}  // namespace vettrix::service
