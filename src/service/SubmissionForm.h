#pragma once

// A device sent for the database, as the submission form reads it, and the rules it must meet.

#include <map>
#include <string>
#include <string_view>

#include "service/Http.h"

namespace vettrix::service {

inline constexpr std::size_t kMaxNameChars = 64;
inline constexpr std::size_t kMaxSourceChars = 200;
inline constexpr std::size_t kMaxNoteChars = 1000;

struct SubmissionForm {
  std::string tac, manufacturer, model, source, note;  // as sent, without surrounding spaces
  // Why a field was refused, by the field's name; empty when the form may be stored.
  std::map<std::string, std::string, std::less<>> errors;
  bool Ok() const { return errors.empty(); }
};

// The form's fields by the rules: a TAC of 8 digits and not 00000000; manufacturer and model of
// 1 to 64 characters and source of 1 to 200, valid UTF-8 without control characters or marks
// that turn the direction of text, and with a character that shows (and, for the names, without
// a comma, which a database line cannot hold, and not beginning with = + - @, which a
// spreadsheet takes for a formula); an optional note of up to 1000 characters that may hold line
// breaks. Unknown fields are ignored; a field given twice counts once, as first given.
SubmissionForm ReadSubmission(const Fields& fields);

// Whether a spreadsheet takes `text` for a formula: it begins with =, +, - or @.
bool BeginsAsFormula(std::string_view text);

}  // namespace vettrix::service
