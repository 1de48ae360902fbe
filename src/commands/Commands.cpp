#include <algorithm>

#include "commands/Handlers.h"
#include "validate/ValidateIMEI.h"

namespace vettrix {

void Command1_Click(Form1& form) {
  form.CurrentIMEI = form.Text1.text;
  if (ValidateIMEI(form, form.CurrentIMEI)) ValidateIMEI(form, form.CurrentIMEI);
}

const std::array<Command, 7> kCommands = {{{"Command1", Command1_Click},
                                           {"Command2", Command2_Click},
                                           {"Exit", Exit_Click},
                                           {"About", About_Click},
                                           {"ProgramUpdate", ProgramUpdate_Click},
                                           {"DBUpdate", DBUpdate_Click},
                                           {"DBInstall", DBInstall_Click}}};

Handler HandlerOf(std::string_view control) {
  const auto it = std::find_if(kCommands.begin(), kCommands.end(),
                               [control](const Command& c) { return c.control == control; });
  return it == kCommands.end() ? nullptr : it->handler;
}

}  // namespace vettrix
