// Window sequences that both download procedures end with.
#pragma once

#include "platform/window_ops.h"

namespace fwdl {

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

}  // namespace fwdl
