#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fwdl {

std::string Progress::Text() const {
  if (TotalBytes == 0) return "0% done";  // nothing to measure against
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%% done",
                static_cast<double>(SentBytes) / static_cast<double>(TotalBytes) * 100);
  return text;
}

Pace PaceOf(std::uint64_t sent, std::uint64_t queued, std::uint64_t total, double seconds,
            std::uint32_t line_bytes_per_second) {
  if (seconds < 1) return {};
  // The queue may hold header and escape bytes too: taking them off file
  // bytes errs on the low side, never the high.
  const std::uint64_t gone = sent - std::min(queued, sent);
  Pace pace;
  pace.rate = std::min(static_cast<double>(gone) / seconds,
                       static_cast<double>(line_bytes_per_second));
  if (*pace.rate > 0) {
    const double left = static_cast<double>(total > gone ? total - gone : 0);
    pace.left_s = static_cast<std::uint64_t>(std::llround(left / *pace.rate));
  }
  return pace;
}

}  // namespace fwdl
