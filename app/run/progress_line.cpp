#include "progress_line.h"

#include <algorithm>
#include <cstdio>

namespace fwdl::console {
namespace {

constexpr int kBarWidth = 20;

// 1234567 -> "1,234,567".
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
  return digits;
}

}  // namespace

std::string ProgressLine(const std::string& text, std::uint64_t sent, std::uint64_t total,
                         const Pace& pace) {
  const double done = total == 0 ? 0 : std::min(1.0, static_cast<double>(sent) / total);
  const int filled = static_cast<int>(done * kBarWidth + 0.5);
  std::string left = "-:--";
  if (pace.left_s) {
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, "%llu:%02llu",
                  static_cast<unsigned long long>(*pace.left_s / 60),
                  static_cast<unsigned long long>(*pace.left_s % 60));
    left = minutes;
  }
  const std::string rate = pace.rate ? Grouped(static_cast<std::uint64_t>(*pace.rate + 0.5)) : "-";
  const std::string tail = " bytes  " + rate + " B/s  " + left + " left";
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " + text +
         "  " + Grouped(sent) + "/" + Grouped(total) + tail;
}

}  // namespace fwdl::console
