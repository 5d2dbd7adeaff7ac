// The window operations on a console. Status and progress texts become
// lines (on a terminal the progress is one line redrawn in place), message
// boxes are printed, and an OK/Cancel question reads Enter or "c" from
// standard input unless the run is unattended. The file dialogs return the
// file named on the command line. Timers run on the monotonic clock; waits
// sleep until the next timer is due, a key comes or Ctrl-C.
//
// The console owns the core, like a window does. Ctrl-C is an event like a
// click, handled in the event loop, never in the signal handler: "Abort
// Search..." while the HEX loader is being woken, Exit at any other time.
// Once interrupted, questions are answered Cancel and the file dialog is
// cancelled, without asking.
#pragma once

#include <array>
#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "download/core.h"
#include "platform/window_ops.h"

namespace fwdl::console {

class JsonEvents;

struct WindowSettings {
  std::string file;       // what the file dialogs return
  bool yes = false;       // answer every question OK
  bool terminal = false;  // redraw the progress line in place
  JsonEvents* json = nullptr;  // where the events go as JSON Lines, too
};

struct ShownBox {
  std::string text, caption;
  bool question = false;  // OK and Cancel
};

class ConsoleWindow final : public WindowOps {
 public:
  ConsoleWindow(SerialPorts& ports, WindowSettings settings, std::ostream& out);

  Core& core() { return core_; }
  const std::vector<ShownBox>& boxes() const { return boxes_; }
  bool closed() const { return closed_; }
  // Ctrl-C came, or the user answered a question with "c" or not at all.
  bool interrupted() const { return interrupted_ || cancelled_; }

  void SetStatusText(const std::string& text) override;
  void SetProgressText(const std::string& text) override;
  void SetButtonVisible(Button, bool) override {}
  void SetMenuEnabled(MenuItem, bool) override {}
  BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                           BoxButtons buttons, const std::string& details) override;
  std::optional<std::string> RunOpenDialog(FileDialog dialog) override;
  void AppendLogLine(const std::string&) override {}
  void Notice(const std::string& text) override;
  // The core's schedule is asked before each sleep: nothing to arm.
  void WakeAt(std::optional<Millis>) override {}
  void PumpEvents() override;
  void WaitForEvents() override;
  void CloseMainWindow() override;

 private:
  using Clock = std::chrono::steady_clock;

  // Handles a new Ctrl-C and every timer that is due; true when anything ran.
  bool RunDue();
  // Sleeps until the next timer is due, Ctrl-C comes or (when asked) input.
  void Sleep(bool watch_input);
  BoxAnswer Ask();
  // Ends the progress line drawn in place, so that a whole line can follow.
  void EndProgressLine();
  // The rate and the time left of the transfer now.
  Pace MeasurePace(Clock::time_point now);
  void PrintLine(const std::string& text);

  const WindowSettings settings_;
  std::ostream& out_;
  bool closed_ = false;
  bool interrupted_ = false;  // by Ctrl-C
  bool cancelled_ = false;    // a question answered "c", or by the end of input
  std::vector<ShownBox> boxes_;
  std::string input_;  // typed but not yet taken

  std::string status_, progress_text_;
  bool sending_ = false;  // the figure shown is the transfer's
  Clock::time_point transfer_start_, last_drawn_;
  Pace pace_;  // as last shown
  std::size_t drawn_width_ = 0;  // of the progress line on screen; 0: none
  Core core_;  // last: it is made with the window's operations in place
};

}  // namespace fwdl::console
