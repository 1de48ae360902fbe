#pragma once

#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

#include "app/Text.h"

namespace vettrix {

// The text of a label. Captions that generation rewrites for every candidate (the result fields,
// the rate) keep the values they show and turn them into text only when someone reads them, so
// keeping them current costs a few stores. A read always gives the full, current text.
class Caption {
 public:
  static constexpr std::size_t kPayloadSize = 24;

  Caption() = default;
  Caption(std::string_view text) : text_(text) {}
  Caption(const char* text) : text_(text) {}
  Caption(const std::string& text) : text_(text) {}

  Caption& operator=(std::string_view text) {
    format_ = nullptr;
    SetText(text_, text);
    return *this;
  }
  Caption& operator=(const char* text) { return *this = std::string_view(text); }
  Caption& operator=(const std::string& text) { return *this = std::string_view(text); }
  void assign(const char* data, std::size_t size) {
    format_ = nullptr;
    SetText(text_, std::string_view(data, size));
  }

  // Shows Format(payload) from now on; the text is made on the next read.
  template <typename T, void (*Format)(const T&, std::string&)>
  void Defer(const T& payload) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= kPayloadSize);
    std::memcpy(payload_, &payload, sizeof(T));
    format_ = &Thunk<T, Format>;
  }

  const std::string& str() const {
    if (format_ != nullptr) {
      format_(payload_, text_);
      format_ = nullptr;
    }
    return text_;
  }
  operator const std::string&() const { return str(); }
  operator std::string_view() const { return str(); }

  friend bool operator==(const Caption& a, std::string_view b) { return a.str() == b; }
  friend std::ostream& operator<<(std::ostream& out, const Caption& c) { return out << c.str(); }

 private:
  template <typename T, void (*Format)(const T&, std::string&)>
  static void Thunk(const unsigned char* payload, std::string& out) {
    T value;
    std::memcpy(&value, payload, sizeof(T));
    Format(value, out);
  }

  mutable std::string text_;
  mutable void (*format_)(const unsigned char*, std::string&) = nullptr;
  alignas(8) unsigned char payload_[kPayloadSize]{};
};

}  // namespace vettrix
