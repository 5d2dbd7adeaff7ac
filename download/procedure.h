// What both download procedures share: their way in and their ways out.
#pragma once

#include "platform/window_ops.h"
#include "serial/serial_link.h"

namespace fwdl {

inline constexpr char kNoContact[] =
    "No contact with Instrument...\r\nRemove power from Instrument and retry.\r\nCheck comport!";

// Back from the busy state: show Button1, show Button3, enable Exit1,
// enable Port1, in this order.
inline void RestoreWindow(WindowOps& window) {
  window.SetButtonVisible(Button::Button1, true);
  window.SetButtonVisible(Button::Button3, true);
  window.SetMenuEnabled(MenuItem::Exit1, true);
  window.SetMenuEnabled(MenuItem::Port1, true);
}

// The progress figure first, then the status line.
inline void ClearLabels(WindowOps& window) {
  window.SetProgressText("");
  window.SetStatusText("");
}

// After the busy state has been entered: without a port, the message and
// the end; otherwise the instructions, which the user may cancel. False when
// the procedure ends here, with the window restored.
inline bool StartWithInstructions(SerialLink& link, const char* no_port, const char* instructions) {
  WindowOps& window = link.window();
  if (!link.PortOpen()) {
    window.MessageBox(no_port, "ERROR", BoxButtons::Ok);
    RestoreWindow(window);
    return false;
  }
  if (window.MessageBox(instructions, "", BoxButtons::OkCancel) == BoxAnswer::Cancel) {
    RestoreWindow(window);
    return false;
  }
  return true;
}

}  // namespace fwdl
