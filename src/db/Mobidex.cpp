#include "db/Mobidex.h"

#include "app/Captions.h"
#include "app/Shell.h"
#include "app/Text.h"

namespace vettrix {

DeviceTable::ReadResult ShowMobidex(Form1& form, const std::string& path) {
  form.databasePath = path;
  DeviceTable::ReadResult read = form.Devices.Load(path);
  if (!read) return read;
  const int lines = form.Devices.LineCount();
  form.DatabaseVersionText = VersionTextOf(form.Devices.Line(lines));
  form.Label20.caption = "Database Version:   " + form.DatabaseVersionText;
  form.DatabaseVersionNumber = VersionNumberOf(form.DatabaseVersionText);
  SetCounter(form.Label25.caption, "Devices Supported: ", lines - 1);
  return read;
}

bool LoadMobidex(Form1& form) {
  DeviceTable::ReadResult read = ShowMobidex(form, form.platform.DatabaseFile());
  if (!read) {
    if (read.error().missing) {
      form.platform.MsgBox("Fatal Error! IMEI Database not found! Please download and reinstall!");
    } else {
      form.platform.MsgBox(
          "Fatal Error! IMEI Database could not be read: " + DisplayText(form.databasePath) + " (" +
          read.error().reason + "). Please download and reinstall!");
    }
    form.Label20.caption = "Database Version: ERROR! Download and reinstall!";
    CloseForm(form);
    return false;
  }
  if (read->truncated) {
    form.platform.MsgBox("The IMEI Database has more than " +
                         std::to_string(DeviceTable::kMaxLines) + " lines. Only the first " +
                         std::to_string(DeviceTable::kMaxLines) +
                         " were read; the rest was ignored.");
  }
  return true;
}

void Mobidex(Form1& form, std::string_view imei) {
  // A database that has gone missing or cannot be read finds nothing; the table stays as it was.
  if (!form.Devices.Refresh(form.databasePath)) return;
  const int k = form.Devices.FindTAC(imei);
  if (k == 0) return;
  // Every matching line overwrites the same captions, so the last match is all that shows.
  form.TACFound = true;
  ShowValidCount(form);
  ShowFoundCount(form);
  const std::string_view line = form.Devices.Line(k);
  const std::string_view manufacturer = FieldOf(line, 1);
  form.Label13.visible = true;
  form.Label14.visible = true;
  form.Label13.caption = "Manufacturer: " + DisplayText(manufacturer);
  form.Label14.caption = "Model: " + DisplayText(FieldOf(line, 2));
  form.Label27.visible = manufacturer == "Apple";
}

}  // namespace vettrix
