// The progress figures that both downloads share, and the figure's text.
#pragma once

#include <cstdint>
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

}  // namespace fwdl
