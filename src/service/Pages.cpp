#include "service/Pages.h"

#include "app/Branding.h"
#include "app/Text.h"
#include "service/Html.h"
#include "service/ServiceIcon.h"

namespace vettrix::service {

const std::string_view kStyleSheet = R"css(:root { color-scheme: light; }
body { margin: 0; font: 1rem/1.5 system-ui, "Liberation Sans", Arial, sans-serif;
  color: #1b1b1b; background: #f5f6f8; }
header, main, footer { max-width: 46rem; margin: 0 auto; padding: 0 1rem; }
header { padding-top: 1.25rem; }
h1 { font-size: 1.6rem; margin: 0; }
h1 a { color: inherit; text-decoration: none; }
h1 img { width: 1.6rem; height: 1.6rem; vertical-align: -0.3rem; margin-right: 0.4rem; }
h2 { font-size: 1.2rem; margin: 0.5rem 0; }
section { background: #fff; border: 1px solid #d5d9e0; border-radius: 6px;
  padding: 0.75rem 1rem 1rem; margin: 1rem 0; }
label { display: block; font-weight: 600; margin-top: 0.75rem; }
input, textarea { font: inherit; padding: 0.4rem 0.5rem; border: 1px solid #7a8190;
  border-radius: 4px; width: 100%; box-sizing: border-box; }
textarea { min-height: 4rem; }
button { font: inherit; padding: 0.45rem 1.1rem; margin-top: 0.75rem; border: 1px solid #163f78;
  border-radius: 4px; background: #1d4f91; color: #fff; cursor: pointer; }
.search { display: flex; flex-wrap: wrap; gap: 0 0.5rem; align-items: flex-end; }
.search div { flex: 1 1 16rem; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 0.2rem 1rem; margin: 0.5rem 0; }
dt { font-weight: 600; }
dd { margin: 0; overflow-wrap: anywhere; }
.verdict { font-size: 1.6rem; font-weight: 700; margin: 0.25rem 0; }
.valid { color: #00701a; }
.invalid { color: #b3001b; }
.error { color: #b3001b; margin: 0.25rem 0 0; }
.hint { color: #4a5160; font-size: 0.9rem; margin: 0.25rem 0 0; }
[aria-invalid="true"] { border-color: #b3001b; }
footer { font-size: 0.875rem; color: #3d4350; padding-bottom: 2rem; }
a { color: #1d4f91; }
:focus-visible { outline: 3px solid #e39b00; outline-offset: 1px; }
@media (max-width: 32rem) {
  dl { grid-template-columns: 1fr; }
  dd { margin-bottom: 0.4rem; }
}
)css";

const std::string_view kIcon = kServiceIconSvg;

namespace {

constexpr std::string_view kSiteName = kServiceSiteName;

void Begin(Html& page, std::string_view title) {
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  page.Text(title);
  if (title != kSiteName) page << " \xE2\x80\x93 ";  // an en dash
  if (title != kSiteName) page.Text(kSiteName);
  page << "</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n"
          "<link rel=\"icon\" href=\"/favicon.svg\" type=\"image/svg+xml\">\n</head>\n<body>\n"
          "<header>\n<h1><a href=\"/\"><img src=\"/favicon.svg\" alt=\"\">";
  page.Text(kSiteName);
  page << "</a></h1>\n<p>The device database of Vettrix: check an IMEI, name the device of a "
          "TAC, download the database, or suggest a device it lacks.</p>\n</header>\n<main>\n";
}

void End(Html& page) {
  page << "</main>\n<footer>\n<p>The device data comes from the "
          "<a href=\"https://tacdb.osmocom.org/\">Osmocom TAC database</a>, (c) Harald Welte "
          "2016, and is published under the "
          "<a href=\"https://creativecommons.org/licenses/by-sa/3.0/\">Creative Commons "
          "Attribution-ShareAlike 3.0</a> licence (CC-BY-SA 3.0), as is the database you can "
          "download here. Lookups are not logged.</p>\n<p>Scripts can use the "
          "<a href=\"/api/v1/\">JSON API</a>, which its "
          "<a href=\"/api/v1/openapi.json\" id=\"api-document\">OpenAPI document</a> "
          "describes.</p>\n</footer>\n</body>\n</html>\n";
}

void SearchForm(Html& page, std::string_view value) {
  page << "<form class=\"search\" action=\"/\" method=\"get\" role=\"search\">\n<div>\n"
          "<label for=\"imei\">IMEI, IMEISV or TAC</label>\n"
          "<input id=\"imei\" name=\"imei\" type=\"text\" inputmode=\"numeric\" "
          "autocomplete=\"off\" spellcheck=\"false\" value=\"";
  page.Text(value);
  page << "\">\n</div>\n<button type=\"submit\">Look up</button>\n</form>\n";
}

// One labelled field of the submission form, with the value sent and the reason it was refused.
void FormField(Html& page, const SubmissionForm* form, std::string_view name, Markup label,
               Markup hint, std::string_view value, bool multiline) {
  std::string_view error;
  if (form != nullptr) {
    const auto it = form->errors.find(name);
    if (it != form->errors.end()) error = it->second;
  }
  page << "<label for=\"submit-";
  page.Text(name) << "\">" << label << "</label>\n";
  page << (multiline ? Markup("<textarea") : Markup("<input type=\"text\""));
  page << " id=\"submit-";
  page.Text(name) << "\" name=\"";
  page.Text(name) << "\" aria-describedby=\"submit-";
  page.Text(name) << "-hint";
  if (!error.empty()) {
    page << " submit-";
    page.Text(name) << "-error\" aria-invalid=\"true";
  }
  page << "\"";
  if (name != "note") page << " required";
  if (name == "tac") page << " inputmode=\"numeric\" autocomplete=\"off\"";
  if (multiline) {
    page << ">";
    page.Text(value) << "</textarea>\n";
  } else {
    page << " value=\"";
    page.Text(value) << "\">\n";
  }
  page << "<p class=\"hint\" id=\"submit-";
  page.Text(name) << "-hint\">" << hint << "</p>\n";
  if (!error.empty()) {
    page << "<p class=\"error\" id=\"submit-";
    page.Text(name) << "-error\">";
    page.Text(error) << "</p>\n";
  }
}

// The submission form, filled from `form` (a refused one) or with `tac` alone.
void SubmitForm(Html& page, const SubmissionForm* form, std::string_view tac) {
  page << "<section aria-labelledby=\"submit-title\">\n"
          "<h2 id=\"submit-title\">Suggest a device</h2>\n"
          "<p>Know the device of a TAC the database lacks? Tell us; every suggestion is "
          "reviewed before it is published.</p>\n"
          "<form id=\"submit-form\" action=\"/submit\" method=\"post\">\n";
  const auto value = [form](const std::string& sent, std::string_view otherwise) {
    return form != nullptr ? std::string_view(sent) : otherwise;
  };
  static const SubmissionForm kNone;
  const SubmissionForm& sent = form != nullptr ? *form : kNone;
  FormField(page, form, "tac", "TAC", "The first 8 digits of the device's IMEI.",
            value(sent.tac, tac), false);
  FormField(page, form, "manufacturer", "Manufacturer", "Up to 64 characters, no comma.",
            value(sent.manufacturer, {}), false);
  FormField(page, form, "model", "Model", "Up to 64 characters, no comma.", value(sent.model, {}),
            false);
  FormField(page, form, "source", "Source",
            "Where the name comes from: a web address or a few words (up to 200 characters).",
            value(sent.source, {}), false);
  FormField(page, form, "note", "Note (optional)", "Anything the reviewer should know.",
            value(sent.note, {}), true);
  page << "<button type=\"submit\">Send for review</button>\n</form>\n</section>\n";
}

void DatabaseSection(Html& page, const Published& published) {
  page << "<section aria-labelledby=\"database-title\">\n"
          "<h2 id=\"database-title\">The database</h2>\n<dl>\n"
          "<dt>Version</dt><dd id=\"version-text\">";
  page.Text(published.versionText) << "</dd>\n<dt>Version number</dt><dd id=\"version-number\">";
  page.Text(published.versionNumber) << "</dd>\n<dt>Devices</dt><dd id=\"devices\">";
  page.Number(published.devices)
      << "</dd>\n<dt>Published</dt><dd><time id=\"published\" datetime=\"";
  page.Text(published.publishedText) << "\">";
  page.Text(published.publishedText) << "</time></dd>\n</dl>\n"
                                        "<p><a href=\"/mobidex.csv\" download>Download "
                                        "mobidex.csv</a> (";
  page.Number(static_cast<std::int64_t>((published.table.Contents().size() + 1023) / 1024))
      << " KiB) and its <a href=\"/mobidex.csv.sha256\">SHA-256 checksum</a>. Vettrix "
         "installs it from its Update menu.</p>\n</section>\n";
}

// A TAC alone: no IMEI, but it names a device all the same.
bool IsTacAlone(const records::CheckRecord& r) {
  return r.kind == records::Kind::Other && IsTac(r.normalized);
}

std::string_view KindText(const records::CheckRecord& r) {
  switch (r.kind) {
    case records::Kind::Imei:
      return "IMEI (15 characters)";
    case records::Kind::ImeiNoCheckDigit:
      return "an IMEI without its check digit (14 digits)";
    case records::Kind::Imeisv:
      return "IMEISV: an IMEI's first 14 digits and a 2-digit software version (16 digits)";
    default:
      return IsTacAlone(r) ? "TAC: the type allocation code that opens an IMEI (8 digits)"
                           : "not an IMEI";
  }
}

// Why the window calls it what it does, in words.
std::string ReasonText(const records::CheckRecord& r) {
  if (r.judgement.valid) return "Its check digit completes it: the window calls it VALID.";
  if (r.kind == records::Kind::ImeiNoCheckDigit && !r.checkDigit.empty())
    return "It lacks its check digit, which would be " + std::string(r.checkDigit) + ".";
  if (r.kind == records::Kind::Imeisv) return "An IMEISV carries no check digit to test.";
  if (IsTacAlone(r)) return "A TAC alone is no IMEI, but it names the device.";
  switch (r.judgement.flaw) {
    case Flaw::Empty:
      return "Nothing is left of it once separators are dropped.";
    case Flaw::TooShort:
      return "It is too short for an IMEI, which has 15 digits.";
    case Flaw::TooLong:
      return "It is too long for an IMEI, which has 15 digits.";
    case Flaw::NotDigit:
      return "Character " + std::to_string(r.judgement.position) + " is not a digit.";
    default:
      if (r.expectedCheckDigit.empty()) return "No check digit completes it.";
      return "Its check digit does not complete it; " + std::string(r.expectedCheckDigit) +
             " would.";
  }
}

void Row(Html& page, Markup name, Markup id, std::string_view value) {
  if (value.empty()) return;
  page << "<dt>" << name << "</dt><dd id=\"" << id << "\">";
  page.Text(value) << "</dd>\n";
}

}  // namespace

std::string HomePage(const Published& published) {
  Html page;
  Begin(page, kSiteName);
  SearchForm(page, {});
  DatabaseSection(page, published);
  SubmitForm(page, nullptr, {});
  End(page);
  return page.Take();
}

std::string LookupPage(const Published& published, std::string_view input,
                       const records::CheckRecord& r) {
  Html page;
  Begin(page, "Lookup");
  SearchForm(page, input);
  page << "<section aria-labelledby=\"result-title\" aria-live=\"polite\">\n"
          "<h2 id=\"result-title\">Result</h2>\n";
  page << (r.judgement.valid ? Markup("<p class=\"verdict valid\" id=\"verdict\">VALID</p>\n")
                             : Markup("<p class=\"verdict invalid\" id=\"verdict\">INVALID</p>\n"));
  page << "<p id=\"reason\">";
  page.Text(ReasonText(r)) << "</p>\n<dl>\n";
  Row(page, "Input", "input", input);
  Row(page, "Normalised", "normalized", r.normalized);
  Row(page, "Kind", "kind", KindText(r));
  const std::string_view tac = r.tac;
  const int deviceLine = r.deviceLine;
  Row(page, "Type Allocation Code", "tac", tac);
  Row(page, "Serial Number", "serial", r.serial);
  Row(page, "Check digit", "check-digit", r.kind == records::Kind::Imei ? r.checkDigit : "");
  Row(page, "Software version", "software-version", r.softwareVersion);
  Row(page, "Reporting Body", "reporting-body", r.reportingBody);
  if (deviceLine != 0) {
    const std::string_view device = published.table.Line(deviceLine);
    Row(page, "Manufacturer", "manufacturer", DisplayText(FieldOf(device, 1)));
    Row(page, "Model", "model", DisplayText(FieldOf(device, 2)));
  }
  page << "</dl>\n";
  if (IsTac(tac) && deviceLine == 0) {
    page << "<p id=\"not-found\">The TAC ";
    page.Text(tac) << " is not in the database. If you know its device, please tell us "
                      "below.</p>\n</section>\n";
    SubmitForm(page, nullptr, tac);
  } else {
    page << "</section>\n";
  }
  End(page);
  return page.Take();
}

std::string RefusedPage(const SubmissionForm& form) {
  Html page;
  Begin(page, "Suggest a device");
  page << "<p id=\"problem\" role=\"alert\">Some fields need another look; nothing was "
          "stored yet.</p>\n";
  SubmitForm(page, &form, {});
  End(page);
  return page.Take();
}

std::string SubmissionPage(const Submission& s, bool again) {
  Html page;
  Begin(page, "Submission");
  page << "<section aria-labelledby=\"submission-title\">\n<h2 id=\"submission-title\">"
          "Submission <span id=\"reference\">";
  page.Number(s.id) << "</span></h2>\n<p id=\"status\">";
  if (again) {
    page << "The same device waits for review already, under this reference number.";
  } else if (s.status == Status::Pending) {
    page << "Thank you. It waits for review; keep its reference number.";
  } else if (s.status == Status::Accepted) {
    page << "It was accepted and goes into the next database.";
  } else {
    page << "It was reviewed and not taken.";
  }
  page << "</p>\n<dl>\n";
  Row(page, "TAC", "submitted-tac", s.tac);
  Row(page, "Manufacturer", "submitted-manufacturer", s.manufacturer);
  Row(page, "Model", "submitted-model", s.model);
  page << "</dl>\n</section>\n";
  End(page);
  return page.Take();
}

std::string PublishedAlreadyPage(const Published& published, const SubmissionForm& form) {
  Html page;
  Begin(page, "Suggest a device");
  page << "<section>\n<h2>Already in the database</h2>\n<p id=\"status\">The database ";
  page.Text(published.versionText) << " names the TAC ";
  page.Text(form.tac) << " ";
  page.Text(form.manufacturer) << " ";
  page.Text(form.model) << " already; nothing was stored.</p>\n</section>\n";
  End(page);
  return page.Take();
}

std::string MessagePage(std::string_view title, std::string_view message) {
  Html page;
  Begin(page, title);
  page << "<section>\n<h2>";
  page.Text(title) << "</h2>\n<p id=\"message\">";
  page.Text(message) << "</p>\n<p><a href=\"/\">Back to the start</a></p>\n</section>\n";
  End(page);
  return page.Take();
}

}  // namespace vettrix::service
