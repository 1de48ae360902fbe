#include "app/Branding.h"
#include "app/Captions.h"
#include "app/DeviceTable.h"
#include "app/Shell.h"
#include "app/Text.h"
#include "commands/Handlers.h"
#include "db/Mobidex.h"
#include "generate/GetSelection.h"
#include "generate/Report.h"
#include "validate/Synthesis.h"
#include "validate/ValidateIMEI.h"

namespace vettrix {
namespace {

std::string ElapsedText(const Form1& form) {
  return ReportNumber(static_cast<double>(form.EndTick - form.StartTick) / 1000.0);
}

void WriteReport(Form1& form) {
  form.platform.Refresh();
  form.platform.DoEvents();
  if (form.closed) return;
  form.EndTick = form.platform.TickCount();
  const std::string elapsed = ElapsedText(form);
  form.ReportText = "Vettrix v" + form.ProgramVersionText + "\r\n";
  form.ReportText += "Generated with Vettrix by " + std::string(kMakerName) + "\r\n";
  form.ReportText += "Homepage: " + std::string(kMakerSiteUrl) + "\r\n";
  form.ReportText += "Mobile Device Type: " + form.Combo1.text + "\r\n";
  form.ReportText += "Calculation completed in " + elapsed + " seconds.\r\n";
  form.ReportText += "--------------------------------------\r\n";
  form.ReportText += form.ValidList;
  form.ReportText += "\r\n";

  const auto written =
      WriteNewFile(form.platform.ReportFolder(),
                   ReportFileName(form.ProgramVersionText, form.platform.Now()), form.ReportText);
  if (!written) {
    form.platform.MsgBox("The report could not be written to " + DisplayText(written.error().path) +
                         ": " + written.error().reason);
    return;
  }
  ShowValidCount(form);
  form.platform.MsgBox("Calculation completed in " + elapsed + " seconds. Output written to " +
                       DisplayText(*written));
}

}  // namespace

void Command2_Click(Form1& form) {
  if (form.generating) {
    form.stopRequested = true;  // the running command ends after its current cycle
    return;
  }
  // A database gone or unreadable leaves the table as it was: its devices still count.
  (void)form.Devices.Refresh(form.databasePath);
  if (!CanMakeCandidates(form)) {
    form.platform.MsgBox("The device type " + Quoted(form.Combo1.text, 60) +
                         " is unknown. Choose a device type from the list, \"Custom\" or a "
                         "reporting body.");
    return;
  }

  form.Rnd.Seed(form.platform.SecondsSinceMidnight());
  form.LastTick = form.platform.TickCount();
  form.StartTick = form.platform.TickCount();
  form.Combo1.visible = true;
  form.Combo2.visible = true;
  form.Label12.visible = true;
  form.Label13.visible = false;
  form.Label14.visible = false;
  form.Label16.visible = false;
  form.Label17.visible = false;
  ResetCounters(form);
  form.ValidList.clear();
  form.Text1.text = std::string(TrimSpaces(form.Text1.text));
  if (form.Combo2.text.empty()) form.Combo2.text.assign(1, '1');

  form.generating = true;
  form.stopRequested = false;
  form.Command2.caption = "Stop";
  Selection selection;
  int invalidInARow = 0;
  for (;;) {
    form.FoundIMEI.clear();
    selection = GetSelection(form);
    if (selection.outcome != Selection::Outcome::Candidate) break;
    if (!form.FoundIMEI.empty()) form.CurrentIMEI = form.FoundIMEI;
    form.Text1.text = form.CurrentIMEI;
    form.platform.Refresh();
    ShowGeneratedCount(form);
    ShowValidCount(form);
    form.platform.DoEvents();
    if (form.closed) break;
    const bool valid = ValidateIMEI(form, form.CurrentIMEI);
    if (form.stopRequested) break;
    if (valid && static_cast<double>(form.ValidCount) >= LeadingNumber(form.Combo2.text)) break;
    // A TAC that is not 8 digits never gives a valid IMEI; a good one fails this often with a
    // chance of about 1e-46.
    invalidInARow = valid ? 0 : invalidInARow + 1;
    if (invalidInARow == kMaxTACAttempts) {
      selection.outcome = Selection::Outcome::TACFailed;
      break;
    }
  }
  form.generating = false;
  form.stopRequested = false;
  form.Command2.caption = "Generate";
  if (form.closed) return;

  switch (selection.outcome) {
    case Selection::Outcome::TACFailed:
      form.platform.MsgBox("Generation stopped: no valid IMEI could be made on the TAC " +
                           Quoted(selection.tac) + " of this device type.");
      break;
    case Selection::Outcome::NoCandidate:
      form.platform.MsgBox("Generation stopped: the device type " + Quoted(form.Combo1.text, 60) +
                           " is unknown and no reporting body is ticked.");
      return;
    case Selection::Outcome::Candidate:
      break;
  }
  if (LeadingNumber(form.Combo2.text) > 1) WriteReport(form);
}

}  // namespace vettrix
