#pragma once

// The record of one checked input as every output writes it: `vettrix-cli check` in each format,
// and the web service's JSON, which is the same record without its file and line.

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "app/DeviceTable.h"
#include "records/Checker.h"
#include "records/Output.h"

namespace vettrix::records {

// New columns go at the end, so that a reader that counts them keeps working.
inline constexpr std::array<std::string_view, 18> kCheckColumns = {"file",
                                                                   "line",
                                                                   "input",
                                                                   "normalized",
                                                                   "kind",
                                                                   "verdict",
                                                                   "reason",
                                                                   "tac",
                                                                   "serial",
                                                                   "check_digit",
                                                                   "software_version",
                                                                   "reporting_body",
                                                                   "manufacturer",
                                                                   "model",
                                                                   "expected_check_digit",
                                                                   "reason_code",
                                                                   "position",
                                                                   "reporting_body_code"};
// The columns of the record of an input alone.
inline constexpr std::span<const std::string_view> kInputColumns =
    std::span(kCheckColumns).subspan(2);

// Turns records into the writer's fields; keeps the buffers the fields point into, valid until
// the next call.
class RecordFields {
 public:
  using Fields = std::array<RecordWriter::Piece, kInputColumns.size()>;

  // The fields of `r` in the order of kInputColumns, its device named from `devices`.
  const Fields& Of(const CheckRecord& r, Checker& checker, const DeviceTable& devices,
                   const RecordWriter& writer);

 private:
  Fields fields_;
  std::array<std::string, 9> scratch_;
  std::string shown_, shownNormalized_;
};

// The JSON record of one input, as `vettrix-cli check --format json` writes it without its
// file and line: one object, no line end.
std::string JsonRecord(std::string_view input, Checker& checker, const DeviceTable& devices);

}  // namespace vettrix::records
