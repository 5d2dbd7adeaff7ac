// What both download procedures share: the link they talk through, the
// progress figures, their way in and their ways out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "download/outcome.h"
#include "download/progress.h"
#include "platform/window_ops.h"
#include "serial/serial_link.h"

namespace fwdl {

inline constexpr char kNoContact[] =
    "No contact with Instrument...\r\nRemove power from Instrument and retry.\r\nCheck comport!";

class DownloadProcedure {
 public:
  // The instrument's last answer that the run read, as it sent it: the
  // loader's verdict line, or the bytes after the image; empty when it
  // answered nothing there.
  const std::string& answer() const { return answer_; }

 protected:
  DownloadProcedure(SerialLink& link, Progress& progress, Phase& phase)
      : link_(link), window_(link.window()), progress_(progress), phase_(phase) {}

  // Back from the busy state: show Button1, show Button3, enable Exit1,
  // enable Port1, in this order.
  void RestoreWindow();
  // The progress figure first, then the status line.
  void ClearLabels();

  // After the busy state has been entered: without a port, the message and
  // the end; otherwise the instructions, which the user may cancel. An
  // outcome when the procedure ends here, with the window restored.
  std::optional<Outcome> StartWithInstructions(const char* no_port, const char* instructions);

  // Ends the run as `outcome`, after `steps` (its box, its last bytes, the
  // restored window). A device that went during the run ends it instead with
  // the box that says so and the window in the no-port state, unless the
  // instrument had already answered (`answered`: its verdict line or its
  // report was in the buffer): what arrived is the outcome, its box comes
  // first and the lost port's after it. A port that Exit or a bound error
  // closed makes that the outcome.
  template <class Steps>
  Outcome End(Outcome outcome, Steps&& steps, bool answered = false) {
    if (link_.PortLost() && !answered) return EndPortLost();
    const Outcome decided = link_.closure() == Closure::kExit         ? Outcome::kExited
                            : link_.closure() == Closure::kBoundError ? Outcome::kBoundError
                                                                      : outcome;
    std::forward<Steps>(steps)();
    if (link_.PortLost()) EndPortLost();
    return decided;
  }

  SerialLink& link_;
  WindowOps& window_;
  Progress& progress_;
  Phase& phase_;
  std::string answer_;

  // Opens the file that the dialog returned, or the bytes of it that the
  // front end has read already; false when it does not open.
  template <class File>
  bool OpenChosenFile(File& file, const std::string& path) {
    if (const auto* bytes = window_.ChosenFileBytes()) {
      file.Open(std::span<const std::uint8_t>(*bytes));
      return true;
    }
    return file.Open(path);
  }

 private:
  // The lost port's box, then the no-port state; kPortLost.
  Outcome EndPortLost();
};

}  // namespace fwdl
