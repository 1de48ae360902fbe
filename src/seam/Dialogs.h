#pragma once

#include <string_view>

namespace vettrix {

// What the user is shown and handed: message boxes, the clipboard and the browser.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Modal message box with an OK button and the application title; returns when closed.
  virtual void MsgBox(std::string_view text) = 0;
  // Clears the clipboard and puts `text` on it. False when the clipboard is not available.
  virtual bool SetClipboardText(std::string_view text) = 0;
  // Hands `url` to the default browser without waiting. False when no browser could be started.
  virtual bool OpenUrl(std::string_view url) = 0;
};

}  // namespace vettrix
