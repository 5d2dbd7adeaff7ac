#include "timer_schedule.h"

#include <algorithm>
#include <chrono>

namespace fwdl {

namespace {
constexpr Timer kTimers[] = {Timer::Timer1, Timer::Timer2, Timer::Timer3};
}  // namespace

Millis SteadyClock::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TimerSchedule::SetInterval(Timer timer, int milliseconds) {
  state(timer).interval = std::max(milliseconds, 1);
}

void TimerSchedule::SetEnabled(Timer timer, bool enabled) {
  State& t = state(timer);
  t.enabled = enabled;
  // The clock counts whole milliseconds: now may be most of one gone
  // already, and a first tick one interval on could come that much early.
  if (enabled) t.due = clock_.Now() + t.interval + 1;
  Changed();
}

std::optional<Millis> TimerSchedule::NextDue() const {
  std::optional<Millis> next;
  for (const State& t : timers_) {
    if (t.enabled && (!next || t.due < *next)) next = t.due;
  }
  return next;
}

std::optional<Timer> TimerSchedule::TakeDue() {
  const Millis now = clock_.Now();
  std::optional<Timer> earliest;
  for (const Timer timer : kTimers) {
    const State& t = state(timer);
    if (t.enabled && t.due <= now && (!earliest || t.due < state(*earliest).due)) earliest = timer;
  }
  if (!earliest) return std::nullopt;
  State& t = state(*earliest);
  t.due += t.interval;
  if (t.due <= now) t.due = now + t.interval;
  Changed();
  return earliest;
}

void TimerSchedule::Changed() {
  const std::optional<Millis> next = NextDue();
  if (next == told_) return;
  told_ = next;
  if (on_change) on_change(next);
}

}  // namespace fwdl
