#pragma once

#include "app/Captions.h"
#include "app/Form1.h"

namespace vettrix {

// Closes the main window; nothing is shown any more, and a running Generate stops.
inline void CloseForm(Form1& form) {
  if (form.closed) return;
  form.closed = true;
  form.stopRequested = true;
  form.platform.CloseWindow();
}

// The counters' captions, written here only.
inline void ShowValidCount(Form1& form) {
  SetCounter(form.Label19.caption, "Valid: ", form.ValidCount);
}
inline void ShowFoundCount(Form1& form) {
  SetCounter(form.Label28.caption, "Found: ", form.FoundCount);
}
inline void ShowGeneratedCount(Form1& form) {
  SetCounter(form.Label12.caption, "Generated: ", form.GeneratedCount);
}

// Sets the three counters to 0 and shows "Valid: 0" and "Found: 0".
inline void ResetCounters(Form1& form) {
  form.GeneratedCount = 0;
  form.ValidCount = 0;
  form.FoundCount = 0;
  ShowValidCount(form);
  ShowFoundCount(form);
}

}  // namespace vettrix
