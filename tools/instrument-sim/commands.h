// The simulator's commands on standard input, one line each:
//   burst N     N bytes of filler at once, N up to 16 MiB
//   say TEXT    TEXT, with \r, \n, \\ and \xHH turned into bytes
//   pull        (in main) ends the simulator once the program has read all it was sent
//   quit
// A malformed command is reported on standard error and ignored.
#pragma once

#include <string>

#include "instrument.h"

namespace sim {

// Turns \r, \n, \\ and \xHH into bytes; throws std::invalid_argument on
// a malformed \x.
std::string Unescape(const std::string& text);

// One command line from standard input; false for "quit".
bool RunCommand(Instrument& instrument, const std::string& command, Millis now);

}  // namespace sim
