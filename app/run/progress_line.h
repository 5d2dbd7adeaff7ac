// The progress line of a terminal: a bar, the procedure's own figure, the
// bytes sent, the rate and the time left.
#pragma once

#include <cstdint>
#include <string>

namespace fwdl::console {

// The line's best rate: 57600 baud, 10 bits a byte.
inline constexpr double kLineBytesPerSecond = 5760;

// How fast the transfer goes and how long it has left: measured once half a
// second has passed and something was sent; until then at the line's rate.
struct Pace {
  bool measured = false;
  double rate = kLineBytesPerSecond;  // bytes a second
  std::uint64_t left_s = 0;
};
Pace PaceOf(std::uint64_t sent, std::uint64_t total, double seconds);

// `text` is the procedure's figure, such as "37% done"; `seconds` the time
// since the transfer began. The rate is measured once half a second has passed;
// before that the time left is told at the line's rate.
std::string ProgressLine(const std::string& text, std::uint64_t sent, std::uint64_t total,
                         double seconds);

}  // namespace fwdl::console
