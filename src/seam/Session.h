#pragma once

namespace vettrix {

// The user's session at the window: painting, the event pump, closing, and what the system says
// of the user (rights, locale).
class Session {
 public:
  virtual ~Session() = default;
  // Paints the window from the model now.
  virtual void Refresh() = 0;
  // Lets the window handle its pending events (clicks, typing, painting).
  virtual void DoEvents() = 0;
  // Closes the main window; the program ends when it has closed.
  virtual void CloseWindow() = 0;
  virtual bool IsUserAnAdmin() = 0;
  // The user's locale decimal separator.
  virtual char DecimalSeparator() = 0;
};

}  // namespace vettrix
