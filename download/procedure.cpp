#include "download/procedure.h"

namespace fwdl {

void DownloadProcedure::RestoreWindow() {
  window_.SetButtonVisible(Button::Button1, true);
  window_.SetButtonVisible(Button::Button3, true);
  window_.SetMenuEnabled(MenuItem::Exit1, true);
  window_.SetMenuEnabled(MenuItem::Port1, true);
}

void DownloadProcedure::ClearLabels() {
  window_.SetProgressText("");
  window_.SetStatusText("");
}

std::optional<Outcome> DownloadProcedure::StartWithInstructions(const char* no_port,
                                                                const char* instructions) {
  answer_.clear();
  if (!link_.PortOpen()) {
    window_.MessageBox(no_port, "ERROR", BoxButtons::Ok);
    RestoreWindow();
    return Outcome::kNoPort;
  }
  phase_ = Phase::kInstructions;
  if (window_.MessageBox(instructions, "", BoxButtons::OkCancel) == BoxAnswer::Cancel) {
    return End(Outcome::kCancelled, [&] { RestoreWindow(); });
  }
  return std::nullopt;
}

Outcome DownloadProcedure::EndPortLost() {
  // The link has closed the port; what the procedure showed goes, and the
  // menus come back for a new choice.
  link_.ShowPortLost();
  window_.SetProgressText("");
  link_.EnterNoPortState(true);
  return Outcome::kPortLost;
}

}  // namespace fwdl
