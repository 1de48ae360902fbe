#include "app/Banner.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <utility>

#include "app/Text.h"

namespace vettrix {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The character an entity name ("amp", "#233", "#xE9") stands for, or none.
std::optional<char32_t> DecodeEntity(std::string_view name) {
  static constexpr std::pair<std::string_view, char32_t> kNamed[] = {
      {"amp", U'&'}, {"lt", U'<'}, {"gt", U'>'}, {"quot", U'"'}, {"apos", U'\''}, {"nbsp", U' '}};
  for (const auto& [entity, value] : kNamed)
    if (name == entity) return value;
  if (name.size() < 2 || name.front() != '#') return std::nullopt;
  const bool hex = name[1] == 'x' || name[1] == 'X';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty()) return std::nullopt;
  std::uint32_t code = 0;
  for (const char c : digits) {
    const int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
    if (value < 0) return std::nullopt;
    code = code * (hex ? 16u : 10u) + static_cast<std::uint32_t>(value);
    if (code > 0x10FFFF) return std::nullopt;
  }
  if (code == 0 || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  return static_cast<char32_t>(code);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string BannerText(std::string_view html) {
  const std::string page = DisplayText(html);
  std::string lower = page;  // for finding closing tags whatever their case
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  std::string text;
  std::size_t i = 0;
  while (i < page.size()) {
    const char c = page[i];
    if (c == '<') {
      if (page.compare(i, 4, "<!--") == 0) {
        const std::size_t end = page.find("-->", i + 4);
        if (end == std::string::npos) break;
        i = end + 3;
        continue;
      }
      std::size_t end = page.find('>', i);
      if (end == std::string::npos) break;
      std::size_t nameEnd = i + 1;
      while (nameEnd < end && std::isalnum(static_cast<unsigned char>(page[nameEnd]))) ++nameEnd;
      const std::string tag = lower.substr(i + 1, nameEnd - i - 1);
      // Scripts, styles and the title are not part of what a browser shows in the page.
      if (tag == "script" || tag == "style" || tag == "title") {
        const std::size_t close = lower.find("</" + tag, end);
        end = close == std::string::npos ? close : page.find('>', close);
        if (end == std::string::npos) break;
      }
      text += ' ';
      i = end + 1;
    } else if (c == '&') {
      const std::size_t semicolon = page.find(';', i);
      const std::optional<char32_t> decoded =
          semicolon != std::string::npos && semicolon - i <= 10
              ? DecodeEntity(std::string_view(page).substr(i + 1, semicolon - i - 1))
              : std::nullopt;
      if (decoded) {
        AppendUtf8(text, *decoded);
        i = semicolon + 1;
      } else {
        text += c;
        ++i;
      }
    } else {
      text += c;
      ++i;
    }
  }
  // Runs of white space become one space, none at either end.
  std::string simplified;
  for (const char ch : text) {
    if (!IsBlank(ch)) {
      simplified += ch;
    } else if (!simplified.empty() && simplified.back() != ' ') {
      simplified += ' ';
    }
  }
  if (!simplified.empty() && simplified.back() == ' ') simplified.pop_back();
  return simplified;
}

}  // namespace vettrix
