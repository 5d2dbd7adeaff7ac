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
  // The link has closed the port and hidden the download buttons; what the
  // procedure showed since goes, and the menus come back for a new choice.
  link_.ShowPortLost();
  window_.SetProgressText("");
  window_.SetStatusText("Select Port...");
  window_.SetMenuEnabled(MenuItem::Exit1, true);
  window_.SetMenuEnabled(MenuItem::Port1, true);
  return Outcome::kPortLost;
}

}  // namespace fwdl
