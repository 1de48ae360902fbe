#include "records/RecordFields.h"

#include "app/Text.h"

namespace vettrix::records {

const RecordFields::Fields& RecordFields::Of(const CheckRecord& r, Checker& checker,
                                             const DeviceTable& devices,
                                             const RecordWriter& writer) {
  using Piece = RecordWriter::Piece;
  Fields& f = fields_;
  if (r.plainDigits) {
    f[0] = f[1] = {r.input};
  } else {
    if (r.inputCut == 0) {
      f[0] = writer.Text(r.input, scratch_[0]);
    } else {
      shown_ = DisplayText(r.input) + "...[+" + std::to_string(r.inputCut) + " bytes]";
      f[0] = writer.Text(shown_, scratch_[0]);
    }
    if (r.normalizedCut == 0) {
      f[1] = writer.Text(r.normalized, scratch_[1]);
    } else {
      shownNormalized_ =
          DisplayText(r.normalized) + "...[+" + std::to_string(r.normalizedCut) + " bytes]";
      f[1] = writer.Text(shownNormalized_, scratch_[1]);
    }
  }
  f[2] = Piece{KindName(r.kind)};
  f[3] = Piece{VerdictName(r.verdict)};
  f[4] = Piece{checker.Reason(r)};
  if (r.plainDigits) {
    f[5] = {r.tac}, f[6] = {r.serial}, f[7] = {r.checkDigit};
  } else {
    f[5] = writer.Text(r.tac, scratch_[2]);
    f[6] = writer.Text(r.serial, scratch_[3]);
    f[7] = writer.Text(r.checkDigit, scratch_[4]);
  }
  f[8] = Piece{r.softwareVersion};
  f[9] = writer.Text(r.reportingBody, scratch_[5]);
  const std::string_view device = devices.Line(r.deviceLine);
  f[10] = writer.Text(FieldOf(device, 1), scratch_[6]);
  f[11] = writer.Text(FieldOf(device, 2), scratch_[7]);
  f[12] = Piece{r.expectedCheckDigit};
  f[13] = Piece{Checker::ReasonCode(r)};
  f[14] = Piece{checker.Position(r)};
  f[15] =
      r.plainDigits ? Piece{r.reportingBodyCode} : writer.Text(r.reportingBodyCode, scratch_[8]);
  return f;
}

std::string JsonRecord(std::string_view input, Checker& checker, const DeviceTable& devices) {
  std::string json;
  {
    Output out(json);
    RecordWriter writer(out, Format::Json, kInputColumns);
    RecordFields fields;
    writer.Write(fields.Of(checker.Check(input), checker, devices, writer));
    out.Flush();
  }
  // The array around the one record is the command line's; the object is the record.
  const std::size_t open = json.find('{'), close = json.rfind('}');
  return json.substr(open, close - open + 1);
}

}  // namespace vettrix::records
