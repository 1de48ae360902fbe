#include "service/SubmissionForm.h"

#include "app/DeviceTable.h"
#include "app/Text.h"

namespace vettrix::service {
namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsControl(char32_t c, bool lineBreaks) {
  if (lineBreaks && (c == '\r' || c == '\n')) return false;
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

// Why `text` is refused as a field of `least` to `most` characters, or "".
std::string TextFault(std::string_view text, std::size_t least, std::size_t most, bool lineBreaks,
                      bool commas) {
  if (!IsValidUtf8(text)) return "This is not valid UTF-8 text.";
  const std::size_t length = CharCount(text);
  if (length < least) return "Please fill this in.";
  if (length > most) return "At most " + std::to_string(most) + " characters, please.";
  for (std::size_t at = 0; at < text.size(); at += CharSize(text, at)) {
    if (IsControl(CodePointOf(text.substr(at)), lineBreaks))
      return lineBreaks ? "Control characters other than line breaks cannot be kept."
                        : "Control characters and line breaks cannot be kept.";
  }
  if (!commas && text.find(',') != std::string_view::npos)
    return "A comma cannot stand in a name of the database.";
  return {};
}

}  // namespace

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
    bool lineBreaks, commas;
  } rules[] = {{"manufacturer", form.manufacturer, 1, kMaxNameChars, false, false},
               {"model", form.model, 1, kMaxNameChars, false, false},
               {"source", form.source, 1, kMaxSourceChars, false, true},
               {"note", form.note, 0, kMaxNoteChars, true, true}};
  for (const auto& rule : rules) {
    std::string fault = TextFault(rule.text, rule.least, rule.most, rule.lineBreaks, rule.commas);
    if (!fault.empty()) form.errors[rule.name] = std::move(fault);
  }
  return form;
}

}  // namespace vettrix::service
