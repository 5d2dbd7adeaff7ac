// The progress figures that both downloads share, and the figure's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fwdl {

struct Progress {
  // Exact counts: a single-precision count would stop growing at
  // 16,777,216 bytes.
  std::uint64_t TotalBytes = 0;  // the firmware file's size
  std::uint64_t SentBytes = 0;   // file bytes sent so far
  // "37% done": SentBytes / TotalBytes * 100, rounded to a whole number.
  std::string Text() const;
};

// How fast the file goes out and how long it has left, as the console's bar
// and fwdl --json tell it. Only bytes that have left the port count: a driver
// takes several kilobytes at once into its queue, so counting what it took
// would overstate the rate at the start. For the same reason nothing is
// told before a second of sending, and the rate never exceeds the line's.
struct Pace {
  std::optional<double> rate;           // bytes a second
  std::optional<std::uint64_t> left_s;  // seconds, while the rate is above 0
};
// `sent`: file bytes the port took; `queued`: bytes its driver still holds
// (0 where the system cannot tell); `seconds` since sending began.
Pace PaceOf(std::uint64_t sent, std::uint64_t queued, std::uint64_t total, double seconds,
            std::uint32_t line_bytes_per_second);

}  // namespace fwdl
