#include "service/Html.h"

#include "app/Text.h"

namespace vettrix::service {
namespace {

void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

Html& Html::Text(std::string_view text) {
  if (IsValidUtf8(text)) {
    AppendEscaped(page_, text);
  } else {
    AppendEscaped(page_, DisplayText(text));
  }
  return *this;
}

Html& Html::Number(std::int64_t number) {
  page_ += std::to_string(number);
  return *this;
}

}  // namespace vettrix::service
