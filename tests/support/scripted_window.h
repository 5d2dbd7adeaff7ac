// A window for tests: it owns the program's core as a front end does,
// answers message boxes and file dialogs from a script, records what the
// program shows in order, and runs the program's timers on a clock (fake or
// real). Actions can be scheduled at a time, such as a click on "Abort
// Search..." or the Exit command.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "download/core.h"
#include "platform/serial_port.h"
#include "platform/window_ops.h"

namespace fwdl::testing {

struct Box {
  std::string text, caption;
  BoxButtons buttons;
  std::string details;
  Millis at;
};

class ScriptedWindow final : public WindowOps {
 public:
  // The timers' intervals are those the main window gives them.
  ScriptedWindow(Clock& clock, SerialPorts& ports) : clock_(clock), core(*this, ports, clock) {}

  // Script.
  std::deque<BoxAnswer> box_answers;  // Ok when empty
  std::deque<std::optional<std::string>> dialog_answers;  // Cancel when empty
  // The chosen file's bytes as the front end read them, when it did.
  std::optional<std::vector<std::uint8_t>> chosen_bytes;
  Millis box_open_ms = 0;  // how long each box stays open, handling events
  // Runs `action` as an event at time `when` (or at once, if that has passed).
  void At(Millis when, std::function<void()> action);
  // Called with every event as it is recorded, while the program waits for
  // it to return: the place to react to what the program shows.
  std::function<void(const std::string&)> on_event;
  // Called after every timer tick that the program has handled.
  std::function<void(Timer)> on_tick;
  // Gives up with an exception when the fake time passes this.
  Millis time_limit = 24LL * 3600 * 1000;

  // What was shown, in order: "Label1=..." and "Label2=..." when the text
  // changes, "Button1 shown", "Port1 disabled", "box[caption] text",
  // "dialog OpenDialog1", "close".
  std::vector<std::string> events;
  std::vector<Box> boxes;
  std::vector<std::string> log_lines;  // Memo1
  std::vector<std::string> progress_texts;  // every text given to Label1
  std::string label1, label2;
  bool visible[3] = {false, false, false};
  bool port1_enabled = true, exit1_enabled = true;
  bool closed = false;
  int pumps = 0;

  // The values Label1 took, in order (consecutive repeats folded).
  std::vector<std::string> Label1History() const;
  bool Saw(const std::string& event) const;

  // WindowOps.
  void SetStatusText(const std::string& text) override;
  void SetProgressText(const std::string& text) override;
  void SetButtonVisible(Button button, bool visible) override;
  void SetMenuEnabled(MenuItem item, bool enabled) override;
  BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                           BoxButtons buttons, const std::string& details) override;
  std::optional<std::string> RunOpenDialog(FileDialog dialog) override;
  const std::vector<std::uint8_t>* ChosenFileBytes() const override {
    return chosen_bytes ? &*chosen_bytes : nullptr;
  }
  void AppendLogLine(const std::string& line) override { log_lines.push_back(line); }
  void Notice(const std::string& text) override { Record("notice " + text); }
  // The core's schedule wakes it: nothing to arm, the window asks it.
  void WakeAt(std::optional<Millis>) override {}
  bool TimerEnabled(Timer timer) const { return core.timers().Enabled(timer); }
  void PumpEvents() override;
  void WaitForEvents() override;
  void CloseMainWindow() override;

  Clock& clock() { return clock_; }

 private:
  struct Action {
    Millis due;
    std::function<void()> run;
  };
  // Runs the earliest event due by now; false when none is due.
  bool RunOneDue();
  std::optional<Millis> NextDue() const;
  void Record(std::string event);
  Clock& clock_;
  std::vector<Action> actions_;

 public:
  Core core;  // last: made once the window's operations are in place
};

}  // namespace fwdl::testing
