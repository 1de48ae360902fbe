#include "app/Handlers.h"

namespace vettrix {

void About_Click(Form1&) {}
void ProgramUpdate_Click(Form1&) {}
void DBUpdate_Click(Form1&) {}
void Label_Click(Form1&, int) {}

}  // namespace vettrix
