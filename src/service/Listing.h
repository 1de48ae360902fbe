#pragma once

// The operator's listing of the submissions (vettrix-service submissions): TSV for a
// spreadsheet, JSON for scripts, or the lines to merge into the next database.

#include <string_view>
#include <vector>

#include "records/Output.h"
#include "service/Store.h"

namespace vettrix::service {

// `format` is "tsv", "json" or "mobidex" (TAC,manufacturer,model lines ending in CR LF). The
// listing ends with End() or the last line; `out` is not flushed.
void WriteSubmissions(records::Output& out, const std::vector<Submission>& submissions,
                      std::string_view format);

}  // namespace vettrix::service
