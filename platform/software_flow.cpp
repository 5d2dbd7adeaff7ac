#include "software_flow.h"

#include <algorithm>

namespace fwdl {

void SoftwareFlow::Received(const char* data, std::size_t size) {
  // What was taken goes, now and then, so the queue does not only grow.
  if (taken_ > 0 && taken_ == pending_.size()) {
    pending_.clear();
    taken_ = 0;
  } else if (taken_ > 4096) {
    pending_.erase(0, taken_);
    taken_ = 0;
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == kXoff) {
      held_ = true;
    } else if (data[i] == kXon) {
      held_ = false;
    } else {
      pending_ += data[i];
    }
  }
}

std::size_t SoftwareFlow::Take(char* data, std::size_t count) {
  const std::size_t n = std::min(count, pending());
  std::copy_n(pending_.data() + taken_, n, data);
  taken_ += n;
  return n;
}

std::chrono::nanoseconds SoftwareFlow::LineTime(std::size_t bytes) const {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) * 1'000'000'000 /
                                  bytes_per_second_);
}

std::size_t SoftwareFlow::InFlight(Clock::time_point now) const {
  if (line_busy_until_ <= now) return 0;
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(line_busy_until_ - now);
  // Rounded up: a byte that is partly on the wire has not gone yet.
  return static_cast<std::size_t>((left.count() * bytes_per_second_ + 999'999'999) / 1'000'000'000);
}

std::size_t SoftwareFlow::Room(Clock::time_point now, std::size_t driver_queued) const {
  if (held_) return 0;
  const std::size_t queued = std::max(InFlight(now), driver_queued);
  return queued >= kMostQueued ? 0 : kMostQueued - queued;
}

void SoftwareFlow::Wrote(Clock::time_point now, std::size_t count) {
  // An idle line starts from now: time it spent idle is no credit.
  line_busy_until_ = std::max(line_busy_until_, now) + LineTime(count);
}

SoftwareFlow::Clock::time_point SoftwareFlow::NextBurst(Clock::time_point now,
                                                        std::size_t queued) const {
  // Room for a burst once the line has sent all but kMostQueued - kBurst.
  constexpr std::size_t kLow = kMostQueued - kBurst;
  return now + LineTime(queued > kLow ? queued - kLow : 1);
}

}  // namespace fwdl
