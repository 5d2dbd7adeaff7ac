// fwdl's exit codes: how a run ended, told to a script. One table, written
// once here: the exit code of each outcome, the help text's list, the codes
// of `fwdl check` and the closing line on standard error come from it, and
// a test holds the manual and docs/fwdl.md to it. Nothing here reads a box's
// text: the outcome is what the procedure decided.
#pragma once

#include <optional>
#include <span>
#include <string>

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

struct ExitCodeRow {
  ExitCode code;
  std::optional<Outcome> outcome;  // none: the usage error
  const char* meaning;             // for the help text and the manual
  const char* closing;             // a few words for the closing line on standard error
};

// In the order of their codes.
std::span<const ExitCodeRow> ExitCodeTable();

ExitCode ExitCodeOf(Outcome outcome);
// A few words for the closing line on standard error.
const char* Describe(Outcome outcome);
// The help text's list, one line a row, the code on the first of its rows.
std::string ExitCodeHelp();

}  // namespace fwdl::console
