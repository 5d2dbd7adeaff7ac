#include "download/core.h"

#include <array>
#include <utility>

namespace fwdl {

Core::Core(WindowOps& window, SerialPorts& ports, const Clock& clock)
    : timers_(clock), link_(window, ports, timers_) {
  timers_.on_change = [&window](std::optional<Millis> when) { window.WakeAt(when); };
}

const Clock& Core::SystemClock() {
  static const SteadyClock clock;
  return clock;
}

std::optional<Timer> Core::RunDueTimer() {
  const std::optional<Timer> due = timers_.TakeDue();
  if (due) TimerTick(*due);
  return due;
}

bool Core::RunDueTimers() {
  // Each once: a tick that took long must not starve the window's events.
  std::array<bool, 3> ran{};
  bool any = false;
  while (const std::optional<Timer> due = timers_.TakeDue()) {
    any = true;
    if (std::exchange(ran[static_cast<std::size_t>(*due)], true)) continue;
    TimerTick(*due);
  }
  return any;
}

void Core::FormCreate() {
  link_.window().SetProgressText("");
  link_.EnterNoPortState(true);
}

void Core::TimerTick(Timer timer) {
  switch (timer) {
    case Timer::Timer1: link_.Timer1Timer(); break;
    case Timer::Timer2: link_.Timer2Timer(); break;
    case Timer::Timer3: hex_.Timer3Timer(); break;
  }
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess: return "success";
    case Outcome::kErrorVerdict: return "error_verdict";
    case Outcome::kDownloadFailed: return "download_failed";
    case Outcome::kNoContact: return "no_contact";
    case Outcome::kLostContact: return "lost_contact";
    case Outcome::kFileNotHex: return "file_not_hex";
    case Outcome::kFileInvalid: return "file_invalid";
    case Outcome::kFileUnreadable: return "file_unreadable";
    case Outcome::kFileEmpty: return "file_empty";
    case Outcome::kFileTooLarge: return "file_too_large";
    case Outcome::kFileUntrusted: return "file_untrusted";
    case Outcome::kPortUnusable: return "port_unusable";
    case Outcome::kNoPort: return "no_port";
    case Outcome::kPortLost: return "port_lost";
    case Outcome::kSearchAborted: return "search_aborted";
    case Outcome::kCancelled: return "cancelled";
    case Outcome::kExited: return "exited";
    case Outcome::kBoundError: return "bound_error";
  }
  return "unknown";
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kIdle: return "idle";
    case Phase::kInstructions: return "instructions";
    case Phase::kWakeUp: return "wake_up";
    case Phase::kSearch: return "search";
    case Phase::kFileChoice: return "file_choice";
    case Phase::kSending: return "sending";
    case Phase::kResult: return "result";
  }
  return "unknown";
}

}  // namespace fwdl
