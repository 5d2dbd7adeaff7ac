// A line typed (or written by a station program) in answer to an OK/Cancel
// question: Enter alone is OK, "c" and Enter is Cancel; a program driving
// fwdl --json writes one JSON object a line instead:
//
//   {"answer":"ok"}
//   {"answer":"cancel"}
//
// Spaces, tabs and a CR around the text do not count. Anything else is no
// answer, and the question is asked again.
//
// At any time such a program may also write
//
//   {"interrupt":true}
//
// which fwdl --json takes as it takes Ctrl-C: "Abort Search..." during the
// HEX search, Exit at any other time. A program that runs fwdl in a process
// group of its own has no other way to do so on every system.
#pragma once

#include <optional>
#include <string_view>

#include "platform/window_ops.h"

namespace fwdl::console {

std::optional<BoxAnswer> ParseAnswer(std::string_view line);

// Takes the first whole line of `input` that is {"interrupt":true} out of
// it; false when there is none. The other lines stay, in their order.
bool TakeInterruptLine(std::string& input);

}  // namespace fwdl::console
