#include "service/SubmissionForm.h"

#include "app/DeviceTable.h"
#include "app/Text.h"
#include "seam/Result.h"

#include <utility>

namespace vettrix::service {
namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsControl(char32_t c, bool lineBreaks) {
  if (lineBreaks && (c == '\r' || c == '\n')) return false;
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Marks and overrides that turn the order in which text reads: a name could show as another.
bool IsDirectionControl(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// Spaces of every width and characters that show nothing at all.
bool IsInvisible(char32_t c) {
  static constexpr std::pair<char32_t, char32_t> kRanges[] = {
      {0x0020, 0x0020}, {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x034F, 0x034F},
      {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180E, 0x180E}, {0x2000, 0x200F},
      {0x202F, 0x202F}, {0x205F, 0x206F}, {0x3000, 0x3000}, {0x3164, 0x3164},
      {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xE0000, 0xE0FFF}};
  for (const auto& [first, last] : kRanges)
    if (c >= first && c <= last) return true;
  return false;
}

// Whether `text` is taken as a field of `least` to `most` characters, or why not.
Result<void> CheckText(std::string_view text, std::size_t least, std::size_t most, bool lineBreaks,
                       bool name) {
  if (!IsValidUtf8(text)) return Fail("This is not valid UTF-8 text.");
  const std::size_t length = CharCount(text);
  if (length < least) return Fail("Please fill this in.");
  if (length > most) return Fail("At most " + std::to_string(most) + " characters, please.");
  bool visible = false;
  for (std::size_t at = 0; at < text.size(); at += CharSize(text, at)) {
    const char32_t c = CodePointOf(text.substr(at));
    if (IsControl(c, lineBreaks))
      return Fail(lineBreaks ? "Control characters other than line breaks cannot be kept."
                             : "Control characters and line breaks cannot be kept.");
    if (IsDirectionControl(c))
      return Fail("Characters that turn the direction of text cannot be kept.");
    visible = visible || (!IsInvisible(c) && c != '\r' && c != '\n');
  }
  if (least > 0 && !visible) return Fail("Please fill this in with characters that show.");
  if (name && text.find(',') != std::string_view::npos)
    return Fail("A comma cannot stand in a name of the database.");
  if (name && BeginsAsFormula(text))
    return Fail("A name cannot begin with =, +, - or @, which a spreadsheet takes for a formula.");
  return {};
}

}  // namespace

bool BeginsAsFormula(std::string_view text) {
  return !text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos;
}

SubmissionForm ReadSubmission(const Fields& fields) {
  SubmissionForm form;
  const auto value = [&fields](std::string_view name) {
    for (const auto& [key, text] : fields)
      if (key == name) return std::string(Trimmed(text));
    return std::string();
  };
  form.tac = value("tac");
  form.manufacturer = value("manufacturer");
  form.model = value("model");
  form.source = value("source");
  form.note = value("note");

  if (!IsTac(form.tac)) {
    form.errors["tac"] = "A TAC is the first 8 digits of an IMEI.";
  } else if (form.tac == "00000000") {
    form.errors["tac"] = "00000000 is no device's TAC.";
  }
  const struct {
    const char* name;
    const std::string& text;
    std::size_t least, most;
    bool lineBreaks, isName;
  } rules[] = {{"manufacturer", form.manufacturer, 1, kMaxNameChars, false, true},
               {"model", form.model, 1, kMaxNameChars, false, true},
               {"source", form.source, 1, kMaxSourceChars, false, false},
               {"note", form.note, 0, kMaxNoteChars, true, false}};
  for (const auto& rule : rules) {
    Result<void> taken = CheckText(rule.text, rule.least, rule.most, rule.lineBreaks, rule.isName);
    if (!taken) form.errors[rule.name] = std::move(taken).error();
  }
  return form;
}

}  // namespace vettrix::service
