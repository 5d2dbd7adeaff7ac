// The progress line of a terminal: a bar, the procedure's own figure, the
// bytes sent, the rate and the time left.
#pragma once

#include <cstdint>
#include <string>

#include "download/progress.h"

namespace fwdl::console {

// `text` is the procedure's figure, such as "37% done"; `pace` what is known
// of the rate and the time left ("-" where nothing is yet).
std::string ProgressLine(const std::string& text, std::uint64_t sent, std::uint64_t total,
                         const Pace& pace);

}  // namespace fwdl::console
