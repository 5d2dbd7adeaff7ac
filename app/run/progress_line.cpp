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

Pace PaceOf(std::uint64_t sent, std::uint64_t total, double seconds) {
  Pace pace;
  pace.measured = seconds >= 0.5 && sent > 0;
  if (pace.measured) pace.rate = sent / seconds;
  pace.left_s = static_cast<std::uint64_t>((total > sent ? total - sent : 0) / pace.rate + 0.5);
  return pace;
}

std::string ProgressLine(const std::string& text, std::uint64_t sent, std::uint64_t total,
                         double seconds) {
  const double done = total == 0 ? 0 : std::min(1.0, static_cast<double>(sent) / total);
  const int filled = static_cast<int>(done * kBarWidth + 0.5);
  const Pace pace = PaceOf(sent, total, seconds);
  const std::uint64_t left = pace.left_s;
  char tail[96];
  std::snprintf(tail, sizeof tail, " bytes  %s B/s  %llu:%02llu left",
                pace.measured ? Grouped(static_cast<std::uint64_t>(pace.rate + 0.5)).c_str() : "-",
                static_cast<unsigned long long>(left / 60),
                static_cast<unsigned long long>(left % 60));
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " + text +
         "  " + Grouped(sent) + "/" + Grouped(total) + tail;
}

}  // namespace fwdl::console
