#pragma once

// The service's pages. They need no script and no inline style (the style sheet is a file of its
// own), and every text from a request or the database goes through Html::Text.

#include <string>
#include <string_view>

#include "records/Checker.h"
#include "service/Published.h"
#include "service/Store.h"
#include "service/SubmissionForm.h"

namespace vettrix::service {

extern const std::string_view kStyleSheet;
extern const std::string_view kIcon;  // SVG

// What the service is, a search form, the database with its download, the submission form.
std::string HomePage(const Published& published);
// What the window makes of `input`, and the device of its TAC, or the submission form.
std::string LookupPage(const Published& published, std::string_view input,
                       const records::CheckRecord& record);
// The submission form again, with the values sent and the reason beside each field refused.
std::string RefusedPage(const SubmissionForm& form);
// A submission as stored: its reference number, where it stands, and what the database would
// publish of it (the TAC and the names); its source and note are the operator's alone, for
// anyone may read any reference. `again`: it was pending already when the same device was sent.
std::string SubmissionPage(const Submission& submission, bool again);
// The device sent is in the published database already.
std::string PublishedAlreadyPage(const Published& published, const SubmissionForm& form);
// A page that says one thing (not found, too many submissions, ...).
std::string MessagePage(std::string_view title, std::string_view message);

}  // namespace vettrix::service
