// Clocks for the scripted window: a fake one that jumps to the next event,
// so that minutes of waiting take no time, and the real one.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "serial/timer_schedule.h"

namespace fwdl::testing {

using fwdl::Millis;

// The core's clock, and a way to let its time pass.
class Clock : public fwdl::Clock {
 public:
  virtual void SleepUntil(Millis when) = 0;
};

class FakeClock final : public Clock {
 public:
  Millis Now() const override { return now_; }
  void SleepUntil(Millis when) override {
    if (when > now_) now_ = when;
  }

 private:
  Millis now_ = 0;
};

class RealClock final : public Clock {
 public:
  Millis Now() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start_)
        .count();
  }
  void SleepUntil(Millis when) override {
    std::this_thread::sleep_until(start_ + std::chrono::milliseconds(when));
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace fwdl::testing
