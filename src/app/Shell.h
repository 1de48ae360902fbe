#pragma once

#include "app/Form1.h"

namespace vettrix {

// Closes the main window; nothing is shown any more, and a running Generate stops.
inline void CloseForm(Form1& form) {
  if (form.closed) return;
  form.closed = true;
  form.stopRequested = true;
  form.platform.CloseWindow();
}

}  // namespace vettrix
