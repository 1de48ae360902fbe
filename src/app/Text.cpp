#include "app/Text.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vettrix {
namespace {

bool AllAscii(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Characters a message box would not show as themselves: controls, and the invisible ones that
// change the layout or direction of the text around them.
bool ShowsAsItself(char32_t cp) {
  if (IsControlCharacter(cp)) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF)
    return false;
  return true;
}

}  // namespace

char32_t CodePointOf(std::string_view character) {
  if (character.empty()) return 0;
  const std::size_t size = CharSize(character, 0);
  const auto lead = static_cast<unsigned char>(character[0]);
  if (size == 1) return lead;
  char32_t cp = lead & (0x7Fu >> size);
  for (std::size_t k = 1; k < size; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(character[k]) & 0x3Fu);
  return cp;
}

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Reject overlong forms, surrogates and values beyond U+10FFFF.
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += extra + 1;
  }
  return true;
}

std::string DisplayText(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::optional<char32_t> FirstControl(std::string_view bytes) {
  const bool utf8 = IsValidUtf8(bytes);
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t size = utf8 ? CharSize(bytes, at) : 1;
    const char32_t cp =
        size == 1 ? static_cast<unsigned char>(bytes[at]) : CodePointOf(bytes.substr(at, size));
    if (IsControlCharacter(cp)) return cp;
    at += size;
  }
  return std::nullopt;
}

std::size_t CharCount(std::string_view text) {
  if (!IsValidUtf8(text)) return text.size();
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string_view FirstChars(std::string_view text, std::size_t count) {
  // ASCII is one character a byte however the rest of the text reads.
  if (count >= text.size() ? AllAscii(text) : AllAscii(text.substr(0, count)))
    return text.substr(0, count);
  if (!IsValidUtf8(text)) return text.substr(0, count);
  std::size_t at = 0;
  for (std::size_t n = 0; n < count && at < text.size(); ++n) at += CharSize(text, at);
  return text.substr(0, at);
}

std::string Quoted(std::string_view text, std::size_t maxShown) {
  const std::string shown = DisplayText(text);
  std::string quoted = "\"";
  std::size_t at = 0;
  for (std::size_t n = 0; n < maxShown && at < shown.size(); ++n) {
    const std::size_t size = CharSize(shown, at);
    if (ShowsAsItself(CodePointOf(std::string_view(shown).substr(at, size)))) {
      quoted.append(shown, at, size);
    } else {
      quoted += '?';
    }
    at += size;
  }
  if (at < shown.size()) quoted += "...";
  quoted += '"';
  return quoted;
}

std::string JoinUrl(std::string_view base, std::string_view path) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string url(base);
  url += path;
  return url;
}

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool IsCloseName(std::string_view name, std::string_view typed) {
  return EditDistance(Folded(name), Folded(typed)) <= std::max<std::size_t>(2, typed.size() / 3);
}

std::string_view CloseName(std::span<const std::string_view> known, std::string_view typed) {
  std::string_view closest;
  std::size_t best = 0;
  for (const std::string_view name : known) {
    const std::size_t distance = EditDistance(Folded(name), Folded(typed));
    if (IsCloseName(name, typed) && (closest.empty() || distance < best)) {
      closest = name;
      best = distance;
    }
  }
  return closest;
}

}  // namespace vettrix
