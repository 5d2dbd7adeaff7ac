// The program's timers, one schedule on one clock. Timer1 is the 10 ms
// receive poll, Timer2 the one-shot timer behind Delay, Timer3 the 50 ms
// wake-up pings of the HEX search. The core owns the schedule; a front end
// only wakes it when its next timer is due (WindowOps::WakeAt) and then
// runs what is due (Core::RunDueTimers), through one toolkit timer or its
// own wait. The test rigs hand in a fake clock.
//
// A periodic timer keeps its beat, and a tick that came too late to be on
// time is not made up for: the next is due one interval later.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/window_ops.h"

namespace fwdl {

// Milliseconds on a monotonic clock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Millis Now() const = 0;
};

// The system's monotonic clock.
class SteadyClock final : public Clock {
 public:
  Millis Now() const override;
};

class TimerSchedule {
 public:
  explicit TimerSchedule(const Clock& clock) : clock_(clock) {}
  TimerSchedule(const TimerSchedule&) = delete;
  TimerSchedule& operator=(const TimerSchedule&) = delete;

  void SetInterval(Timer timer, int milliseconds);
  // Enabling a timer (again) starts its interval anew: its first tick comes
  // no sooner than that interval from now.
  void SetEnabled(Timer timer, bool enabled);
  bool Enabled(Timer timer) const { return state(timer).enabled; }
  int Interval(Timer timer) const { return state(timer).interval; }

  // When the next timer is due; nothing while none is enabled.
  std::optional<Millis> NextDue() const;
  // The earliest timer due by now, if any, with its next tick set.
  std::optional<Timer> TakeDue();
  // Told whenever NextDue may have changed.
  std::function<void(std::optional<Millis>)> on_change;

  const Clock& clock() const { return clock_; }

 private:
  struct State {
    bool enabled = false;
    int interval = 1;
    Millis due = 0;
  };
  State& state(Timer timer) { return timers_[static_cast<std::size_t>(timer)]; }
  const State& state(Timer timer) const { return timers_[static_cast<std::size_t>(timer)]; }
  void Changed();

  const Clock& clock_;
  std::array<State, 3> timers_{};
  std::optional<Millis> told_;
};

}  // namespace fwdl
