// The window operations that the serial link and the download procedures
// use. Each front end implements them (app/qt and app/win32 with a window,
// app/console on a terminal); tests implement them with a scripted window
// that answers message boxes and dialogs and records what the program shows.
//
// Everything runs on one thread. The core keeps the timers on its own
// schedule (serial/timer_schedule.h); the front end only wakes it when the
// next one is due (WakeAt). Timer ticks reach their handlers only while
// events are handled: in the main event loop, in PumpEvents, in
// WaitForEvents, and inside message boxes and file dialogs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwdl {

enum class Button { Button1, Button2, Button3 };
enum class MenuItem { Port1, Exit1 };
// Timer1: the 10 ms receive poll. Timer2: the one-shot timer behind Delay.
// Timer3: the 50 ms wake-up pings of the HEX download.
enum class Timer { Timer1, Timer2, Timer3 };
// Milliseconds on the core's clock.
using Millis = std::int64_t;
// OpenDialog1 picks "*.hex" files, OpenDialog2 "*.bin" files.
enum class FileDialog { OpenDialog1, OpenDialog2 };
enum class BoxButtons { Ok, OkCancel };
enum class BoxAnswer { Ok, Cancel };

class WindowOps {
 public:
  virtual ~WindowOps() = default;

  // Label2, the status line.
  virtual void SetStatusText(const std::string& text) = 0;
  // Label1, the large progress figure.
  virtual void SetProgressText(const std::string& text) = 0;
  virtual void SetButtonVisible(Button button, bool visible) = 0;
  virtual void SetMenuEnabled(MenuItem item, bool enabled) = 0;

  // A modal box that belongs to no window. Texts are 8-bit and split their
  // lines with "\r\n". Closing the box counts as Cancel where Cancel is
  // offered. `details`, when not empty, is offered apart from the fixed
  // text, such as the system's reason why a port cannot be used.
  BoxAnswer MessageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                       const std::string& details = {}) {
    return ShowMessageBox(text, caption, buttons, details);
  }
  virtual BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                                   BoxButtons buttons, const std::string& details) = 0;
  // Runs a firmware file dialog; the chosen path, or nothing on Cancel.
  virtual std::optional<std::string> RunOpenDialog(FileDialog dialog) = 0;
  // The bytes of the file that RunOpenDialog returned, where the front end
  // has read them already (fwdl, which checked a signature over them): the
  // procedure sends these and never opens the file, so that what was
  // checked is what goes out. Nothing: the procedure reads the file.
  virtual const std::vector<std::uint8_t>* ChosenFileBytes() const { return nullptr; }

  // Adds one line to the receive log Memo1.
  virtual void AppendLogLine(const std::string& line) = 0;
  // A line for the technician's log that needs no answer, such as how XON/XOFF
  // is kept on the port just opened: standard error, where there is one.
  virtual void Notice(const std::string& text) { (void)text; }

  // The core's next timer is due at `when` on its clock (nothing: none is
  // due any more). The front end runs Core::RunDueTimers then, also inside
  // its nested event loops (message boxes, file dialogs, waits).
  virtual void WakeAt(std::optional<Millis> when) = 0;

  // Handles every event that is waiting and returns.
  virtual void PumpEvents() = 0;
  // Sleeps until at least one event has come, handles what is waiting and
  // returns. Waits are built on this so that they never spin.
  virtual void WaitForEvents() = 0;

  // Closes the main window; the program ends once control is back in the
  // main event loop.
  virtual void CloseMainWindow() = 0;
};

}  // namespace fwdl
