// The window operations on a console. Status and progress texts become
// lines (on a terminal the progress is one line redrawn in place), message
// boxes are printed, and an OK/Cancel question reads Enter or "c" from
// standard input unless the run is unattended. The file dialogs return the
// file named on the command line. Timers run on the monotonic clock; waits
// sleep until the next timer is due, a key comes or Ctrl-C.
//
// Ctrl-C is an event like a click: it runs on_interrupt from the event loop,
// never from the signal handler. Once interrupted, questions are answered
// Cancel and the file dialog is cancelled, without asking.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/console/outcome.h"
#include "download/progress.h"
#include "platform/window_ops.h"

namespace fwdl::console {

struct WindowSettings {
  std::string file;       // what the file dialogs return
  bool yes = false;       // answer every question OK
  bool terminal = false;  // redraw the progress line in place
};

class ConsoleWindow final : public WindowOps {
 public:
  ConsoleWindow(const Progress& progress, WindowSettings settings, std::ostream& out);

  // Wiring: what each timer's tick runs, and what Ctrl-C runs.
  std::function<void()> on_tick[3];
  std::function<void()> on_interrupt;

  const std::vector<ShownBox>& boxes() const { return boxes_; }
  bool closed() const { return closed_; }
  // Ctrl-C came, or the user answered a question with "c" or not at all.
  bool interrupted() const { return interrupted_ || cancelled_; }
  bool ButtonVisible(Button button) const { return visible_[static_cast<int>(button)]; }

  void SetStatusText(const std::string& text) override;
  void SetProgressText(const std::string& text) override;
  void SetButtonVisible(Button button, bool visible) override;
  void SetMenuEnabled(MenuItem, bool) override {}
  BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                           BoxButtons buttons, const std::string& details) override;
  std::optional<std::string> RunOpenDialog(FileDialog dialog) override;
  void AppendLogLine(const std::string&) override {}
  void SetTimerInterval(Timer timer, int milliseconds) override;
  void SetTimerEnabled(Timer timer, bool enabled) override;
  bool TimerEnabled(Timer timer) const override;
  void PumpEvents() override;
  void WaitForEvents() override;
  void CloseMainWindow() override;

 private:
  using Clock = std::chrono::steady_clock;
  struct TimerState {
    bool enabled = false;
    int interval = 0;
    Clock::time_point due;
  };

  // Handles a new Ctrl-C and every timer that is due; true when anything ran.
  bool RunDue();
  // Sleeps until the next timer is due, Ctrl-C comes or (when asked) input.
  void Sleep(bool watch_input);
  BoxAnswer Ask();
  // Ends the progress line drawn in place, so that a whole line can follow.
  void EndProgressLine();
  void PrintLine(const std::string& text);

  const Progress& progress_;
  const WindowSettings settings_;
  std::ostream& out_;
  TimerState timers_[3];
  bool visible_[3] = {false, false, false};
  bool closed_ = false;
  bool interrupted_ = false;  // by Ctrl-C
  bool cancelled_ = false;    // a question answered "c", or by the end of input
  std::vector<ShownBox> boxes_;
  std::string input_;  // typed but not yet taken

  std::string status_, progress_text_;
  Clock::time_point transfer_start_, last_drawn_;
  std::size_t drawn_width_ = 0;  // of the progress line on screen; 0: none
};

}  // namespace fwdl::console
