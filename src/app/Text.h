#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
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

// Text is counted in characters as the window shows them: the code points of valid UTF-8, and
// for bytes that are not valid UTF-8 (an old Latin-1 file, a folder name) one character a byte.

bool IsValidUtf8(std::string_view bytes);

// Bytes shown as text: kept as they are when valid UTF-8, else read as Latin-1.
std::string DisplayText(std::string_view bytes);

// Size in bytes of the character that starts at `text[at]` of valid UTF-8 `text`.
inline std::size_t CharSize(std::string_view text, std::size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  const std::size_t size = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return size <= text.size() - at ? size : text.size() - at;
}

// The code point of the first character of valid UTF-8 `character`.
char32_t CodePointOf(std::string_view character);

// Control characters: the C0 and C1 controls, DEL, and the bidirectional controls that reorder
// the text around them. A terminal acts on them, so no name of a database holds one and no text
// format of the command line writes one as it is.
constexpr bool IsControlCharacter(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// The first control character of `bytes` read as the window shows them (valid UTF-8 as it is,
// anything else as Latin-1), if any.
std::optional<char32_t> FirstControl(std::string_view bytes);

// Number of characters of `text`.
std::size_t CharCount(std::string_view text);

// The first `count` characters of `text` (all of it when shorter), as bytes of `text`.
std::string_view FirstChars(std::string_view text, std::size_t count);

// `text` in double quotes for a message box: at most `maxShown` characters, "..." after a longer
// one, and anything that would not show as itself (control and layout characters) as "?",
// whatever arrived (a typed text, a file's bytes).
std::string Quoted(std::string_view text, std::size_t maxShown = 40);

// A base address and a path with exactly one slash between them, whatever the base ends with.
std::string JoinUrl(std::string_view base, std::string_view path);

// `text` with ASCII letters in lower case.
std::string Folded(std::string_view text);

// Edits (insert, delete, replace a byte) that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b);

// Whether `name` is few enough edits from `typed` (letter case aside) to be what was meant: the
// "did you mean" of a message.
bool IsCloseName(std::string_view name, std::string_view typed);

// Of `known`, the closest to `typed` if one is close (IsCloseName); empty when none is.
std::string_view CloseName(std::span<const std::string_view> known, std::string_view typed);

}  // namespace vettrix
