// How a run ended, as the exit code tells it to a script. Decided from what
// the procedure showed at its end, as a user at the window would read it.
#pragma once

#include <string>
#include <vector>

namespace fwdl::console {

enum class Outcome : int {
  kSuccess = 0,       // "Firmware programmed OK" (the loader's verdict), "Download comleted."
  kFailed = 1,        // the loader's error verdict, "Error while downloading.", "Download failed."
  kUsage = 2,         // the command line is wrong
  kNoContact = 3,     // "No contact with Instrument...", "Lost contact with Instrument."
  kPortUnusable = 4,  // the port cannot be opened, or was lost during the run
  kFileRefused = 5,   // the file cannot be read, or is no HEX firmware file
  kInterrupted = 130, // Ctrl-C, or a question answered with "c"
};

struct ShownBox {
  std::string text, caption;
};

struct RunEnd {
  std::vector<ShownBox> boxes;  // in the order shown
  bool interrupted = false;
  bool closed = false;     // the procedure ended the program
  bool port_open = false;  // the port was still open when the procedure returned
  bool port_lost = false;  // the device went during the run (unplugged)
};

Outcome OutcomeOf(const RunEnd& end);
// A few words for the closing line on standard error.
const char* Describe(Outcome outcome);

}  // namespace fwdl::console
