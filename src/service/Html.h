#pragma once

// Pages are built from markup written in the program's source and texts from anywhere else. Only
// a string literal can become markup; every other text goes in escaped, so no text from a
// request or the database can be taken for markup, in element text or in a quoted attribute.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vettrix::service {

class Markup {
 public:
  template <std::size_t N>
  consteval Markup(const char (&text)[N]) : text_(text, N - 1) {}  // NOLINT: literals only
  std::string_view str() const { return text_; }

 private:
  std::string_view text_;
};

class Html {
 public:
  Html& operator<<(Markup markup) {
    page_ += markup.str();
    return *this;
  }
  // Any text, escaped for element text and for a double-quoted attribute value alike. Bytes
  // that are not valid UTF-8 are shown as Latin-1, as the window shows them.
  Html& Text(std::string_view text);
  Html& Number(std::int64_t number);

  std::string Take() { return std::move(page_); }

 private:
  std::string page_;
};

}  // namespace vettrix::service
