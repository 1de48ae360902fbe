#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace vettrix {

// out := text. Generation rewrites the same short texts for every candidate, nearly always with
// a text of the same length; then a plain copy over the old characters is all it takes.
inline void SetText(std::string& out, std::string_view text) {
  if (out.size() == text.size()) {
    if (!text.empty()) std::memmove(out.data(), text.data(), text.size());
  } else {
    out.assign(text);
  }
}

}  // namespace vettrix
