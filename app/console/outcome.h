// fwdl's exit codes: how a run ended, told to a script. One switch on the
// outcome that the procedure decided; nothing here reads a box's text.
#pragma once

#include "download/outcome.h"

namespace fwdl::console {

enum class ExitCode : int {
  kSuccess = 0,       // the loader's verdict, or "Download comleted."
  kFailed = 1,        // the loader's error verdict, "Error while downloading.", "Download failed."
  kUsage = 2,         // the command line is wrong
  kNoContact = 3,     // "No contact with Instrument...", "Lost contact with Instrument."
  kPortUnusable = 4,  // the port cannot be used, or was lost during the run
  kFileRefused = 5,   // the file cannot be read, is empty or too large, or is no HEX file
  kInterrupted = 130, // Ctrl-C, or the instructions cancelled
};

ExitCode ExitCodeOf(Outcome outcome);
// A few words for the closing line on standard error.
const char* Describe(Outcome outcome);

}  // namespace fwdl::console
