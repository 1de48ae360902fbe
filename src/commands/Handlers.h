#pragma once

// Everything a user can trigger on the main window. The view calls these; each runs to
// completion on the user-interface thread (Generate lets the window handle events meanwhile).

#include <array>
#include <string_view>

#include "app/Form1.h"

namespace vettrix {

// Start-up: puts every control and value into its start state, checks the user's rights, loads
// the device database and fills the device-type list. Closes the window on a fatal failure.
void Form_Load(Form1& form);
// The device-type list from the database in the table: the fixed entries, then the database's,
// keeping what the user typed or picked.
void FillDeviceTypes(Form1& form);
void Exit_Click(Form1& form);
// The window is closing (its own close control, or Exit): stops a running Generate.
void Form_Unload(Form1& form);

void Command1_Click(Form1& form);  // Validate
void Command2_Click(Form1& form);  // Generate, or Stop while a run is in progress

void About_Click(Form1& form);
void ProgramUpdate_Click(Form1& form);
void DBUpdate_Click(Form1& form);
// Installs the newer database the service publishes, and shows it without a restart.
void DBInstall_Click(Form1& form);

// The handler that each button and menu command of the window runs, by the control's name.
using Handler = void (*)(Form1&);
struct Command {
  std::string_view control;
  Handler handler;
};
extern const std::array<Command, 7> kCommands;
// The handler of the button or menu command named `control`, or nullptr.
Handler HandlerOf(std::string_view control);

// Click on one of the link labels (10, 13, 14, 18, 21, 24, 26, 27); other labels ignore clicks.
void Label_Click(Form1& form, int labelNumber);

}  // namespace vettrix
