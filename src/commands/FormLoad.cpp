#include "app/Branding.h"
#include "app/Captions.h"
#include "app/Shell.h"
#include "commands/Handlers.h"
#include "db/Mobidex.h"
#include "generate/Catalogue.h"

#include <algorithm>

namespace vettrix {

void Form_Load(Form1& form) {
  form.DigitTable.fill(0);
  form.CheckTable.fill(0);
  form.ProgramVersionText = kProgramVersionText;
  form.ProgramVersionNumber = kProgramVersionNumber;
  form.caption = "Vettrix v" + form.ProgramVersionText;
  form.Label12.visible = false;
  form.Label13.visible = false;
  form.Label14.visible = false;
  ResetCounters(form);
  form.Label29.caption = "IMEI/sec: 0";

  if (!form.platform.IsUserAnAdmin()) {
    form.platform.MsgBox("FATAL ERROR: Vettrix requires Administrator rights");
    CloseForm(form);
    return;
  }

  form.Combo1.text.clear();
  form.Combo1.visible = true;
  for (const char* quantity : {"", "1", "10", "25", "50", "100", "250", "500", "1000"})
    form.Combo2.AddItem(quantity);
  form.Combo2.Select(0);
  form.Combo2.visible = false;

  form.Scriptlet1.rect.width = 7025;
  form.Scriptlet1.rect.height = 905;
  form.Text1.text = "490154203237518";

  if (!LoadMobidex(form)) return;
  FillDeviceTypes(form);
}

void FillDeviceTypes(Form1& form) {
  ComboBox& combo = form.Combo1;
  const std::string picked = combo.listIndex >= 0 ? combo.text : std::string();
  const int pickedIndex = combo.listIndex;
  // The fixed entries take positions 0 to 29; database lines 30 to N - 2 follow in file order.
  std::vector<std::string>& list = combo.list;
  list.clear();
  const int last = form.Devices.LineCount() - 2;
  list.reserve(FixedDeviceTypes().size() + static_cast<std::size_t>(std::max(0, last - 29)));
  for (const std::string_view entry : FixedDeviceTypes()) list.emplace_back(entry);
  for (int p = 30; p <= last; ++p) list.push_back(DeviceName(form.Devices.Line(p)));
  ++combo.listRevision;
  // A pick stays picked where its entry still is; the text stays as it was either way.
  combo.listIndex = -1;
  if (pickedIndex >= 0 && pickedIndex < static_cast<int>(FixedDeviceTypes().size())) {
    combo.listIndex = pickedIndex;
  } else if (pickedIndex >= 0) {
    const auto it = std::find(list.begin() + static_cast<std::ptrdiff_t>(FixedDeviceTypes().size()),
                              list.end(), picked);
    if (it != list.end()) combo.listIndex = static_cast<int>(it - list.begin());
  }
}

void Exit_Click(Form1& form) {
  CloseForm(form);
}

void Form_Unload(Form1& form) {
  form.closed = true;
  form.stopRequested = true;
}

}  // namespace vettrix
