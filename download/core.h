// The program's core: the serial link, the progress figures and both
// download procedures, wired once. Each front end (the Qt window, the Win32
// window, the console) and each test rig owns one Core, implements the
// window operations for it, and hands it the window's events: the handlers
// below, named after the controls that raise them, and the timer ticks.
//
// Everything runs on the window's one thread; a procedure runs inside its
// button's handler and handles events while it waits, so the other
// handlers (ticks above all) run in the middle of it.
#pragma once

#include <optional>
#include <string>

#include "download/dvb_download.h"
#include "download/hex_download.h"
#include "download/outcome.h"
#include "download/progress.h"
#include "serial/serial_link.h"

namespace fwdl {

class Core {
 public:
  // Touches no window operation: the front end may still be building its
  // controls. Call FormCreate once they exist. The timers run on `clock`
  // (the tests' is a fake one).
  Core(WindowOps& window, SerialPorts& ports, const Clock& clock = SystemClock());
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // The main window's creation: no port, "Select Port...", no download
  // buttons, an empty progress figure.
  void FormCreate();

  // Handlers.
  // Com11Click .. Com81Click: "COM1" .. "COM8". True when the port opened.
  bool SelectPort(const std::string& name) { return link_.SelectPort(name); }
  // "Send Vardelo Firmware".
  Outcome Button1Click() {
    last_ = &hex_;
    return Finish(hex_.Button1Click());
  }
  // "Abort Search...".
  void Button2Click() { hex_.Button2Click(); }
  // "Send DVB Firmware".
  Outcome Button3Click() {
    last_ = &dvb_;
    return Finish(dvb_.Button3Click());
  }
  void Exit1Click() { link_.Exit1Click(); }
  // Timer1: the receive poll; Timer2: the end of a Delay; Timer3: a
  // wake-up ping of the HEX search.
  void TimerTick(Timer timer);
  // Runs every timer that is due, each once, earliest first; true when any
  // ran. The front end calls it when WakeAt's time has come.
  bool RunDueTimers();
  // Runs the earliest timer that is due, if any; which one ran.
  std::optional<Timer> RunDueTimer();
  const TimerSchedule& timers() const { return timers_; }

  // What a procedure is doing now, and how the last one ended.
  Phase phase() const { return phase_; }
  std::optional<Outcome> outcome() const { return outcome_; }
  const Progress& progress() const { return progress_; }
  // The instrument's own last answer in the last run (procedure.h); empty
  // when it answered nothing the run read.
  const std::string& instrument_text() const { return last_ ? last_->answer() : none_; }

  SerialLink& link() { return link_; }
  const SerialLink& link() const { return link_; }
  DvbDownload& dvb() { return dvb_; }

 private:
  Outcome Finish(Outcome outcome) {
    phase_ = Phase::kIdle;
    outcome_ = outcome;
    return outcome;
  }

  static const Clock& SystemClock();

  TimerSchedule timers_;
  SerialLink link_;
  Progress progress_;
  Phase phase_ = Phase::kIdle;
  std::optional<Outcome> outcome_;
  HexDownload hex_{link_, progress_, phase_};
  DvbDownload dvb_{link_, progress_, phase_};
  const DownloadProcedure* last_ = nullptr;
  const std::string none_;
};

}  // namespace fwdl
