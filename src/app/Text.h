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

// `text` in double quotes for a message box: at most `maxShown` characters, "..." after a longer
// one, and anything unprintable as "?", whatever arrived (a typed text, a file's bytes).
inline std::string Quoted(std::string_view text, std::size_t maxShown = 40) {
  std::string shown = "\"";
  for (std::size_t i = 0; i < text.size() && i < maxShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    shown += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  if (text.size() > maxShown) shown += "...";
  shown += '"';
  return shown;
}

}  // namespace vettrix
