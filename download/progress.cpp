#include "progress.h"

#include <cstdio>

namespace fwdl {

std::string Progress::Text() const {
  if (TotalBytes == 0) return "0% done";  // nothing to measure against
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%% done",
                static_cast<double>(SentBytes) / static_cast<double>(TotalBytes) * 100);
  return text;
}

}  // namespace fwdl
