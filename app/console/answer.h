// A line typed (or written by a station program) in answer to an OK/Cancel
// question: Enter alone is OK, "c" and Enter is Cancel; a program driving
// fwdl --json writes one JSON object a line instead:
//
//   {"answer":"ok"}
//   {"answer":"cancel"}
//
// Spaces, tabs and a CR around the text do not count. Anything else is no
// answer, and the question is asked again.
#pragma once

#include <optional>
#include <string_view>

#include "platform/window_ops.h"

namespace fwdl::console {

std::optional<BoxAnswer> ParseAnswer(std::string_view line);

}  // namespace fwdl::console
