#include "validate/CheckRBI.h"

#include <cstdint>
#include <cstring>

#include "app/Text.h"

namespace vettrix {
namespace {

// What Label9 shows: a known body's text, or the code followed by " (Unknown)".
struct BodyCaption {
  const ReportingBody* body;
  char code[8];  // two characters of up to four bytes each
  std::uint8_t length;
};

void FormatBody(const BodyCaption& c, std::string& out) {
  if (c.body != nullptr) {
    out.assign(c.body->text);
  } else {
    out = DisplayText(std::string_view(c.code, c.length));
    out += " (Unknown)";
  }
}

}  // namespace

void CheckRBI(Form1& form) {
  const std::string_view code = FirstChars(form.CurrentIMEI, 2);
  const ReportingBody* body = FindReportingBody(code);
  BodyCaption caption{body, {}, static_cast<std::uint8_t>(code.size())};
  std::memcpy(caption.code, code.data(), code.size());
  form.Label9.caption.Defer<BodyCaption, FormatBody>(caption);
  static constexpr std::array<bool, 9> kNone{};
  const std::array<bool, 9>& boxes = body != nullptr ? body->boxes : kNone;
  form.Check1.value = boxes[1];
  form.Check2.value = boxes[2];
  form.Check3.value = boxes[3];
  form.Check4.value = boxes[4];
  form.Check5.value = boxes[5];
  form.Check6.value = boxes[6];
  form.Check7.value = boxes[7];
  form.Check8.value = boxes[8];
}

}  // namespace vettrix
