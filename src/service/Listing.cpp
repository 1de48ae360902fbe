#include "service/Listing.h"

#include <array>
#include <string>

#include "service/Http.h"
#include "service/SubmissionForm.h"

namespace vettrix::service {
namespace {

// A text as a spreadsheet opening the TSV shows it: one that it would take for a formula gets a '
// in front, which the spreadsheet takes for "text" and does not show.
std::string_view SpreadsheetText(std::string_view text, std::string& scratch) {
  if (!BeginsAsFormula(text)) return text;
  scratch.assign(1, '\'');
  scratch += text;
  return scratch;
}

}  // namespace

void WriteSubmissions(records::Output& out, const std::vector<Submission>& submissions,
                      std::string_view format) {
  if (format == "mobidex") {
    for (const Submission& s : submissions)
      out.Put(s.tac + "," + s.manufacturer + "," + s.model + "\r\n");
    return;
  }
  const bool tsv = format != "json";
  records::RecordWriter writer(out, tsv ? records::Format::Tsv : records::Format::Json,
                               kSubmissionFields);
  std::array<std::string, 5> scratch, safe;
  for (const Submission& s : submissions) {
    const std::string id = std::to_string(s.id), received = Rfc3339(s.received);
    using Piece = records::RecordWriter::Piece;
    const std::string* texts[] = {&s.tac, &s.manufacturer, &s.model, &s.source, &s.note};
    std::array<Piece, 5> pieces;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const std::string_view text = tsv ? SpreadsheetText(*texts[i], safe[i]) : *texts[i];
      pieces[i] = writer.Text(text, scratch[i]);
    }
    const Piece fields[] = {
        {id, Piece::Number},         pieces[0],      pieces[1], pieces[2], pieces[3], pieces[4],
        Piece{StatusName(s.status)}, Piece{received}};
    writer.Write(fields);
  }
  writer.End();
}

}  // namespace vettrix::service
