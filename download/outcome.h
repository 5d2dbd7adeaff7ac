// How a download ended, decided where the procedure decides it. The boxes
// tell the user; this value tells the program (fwdl's exit code, records).
// Front ends switch on it and never read the text that was shown.
#pragma once

namespace fwdl {

enum class Outcome {
  kSuccess,         // the loader's verdict line under "INFO", or "Download comleted."
  kErrorVerdict,    // the loader's verdict line begins with "?"
  kDownloadFailed,  // "Error while downloading." (too short an answer), "Download failed."
  kNoContact,       // "No contact with Instrument...": no prompt, or no go-ahead
  kLostContact,     // "Lost contact with Instrument.": the carriage-return probe failed
  kFileNotHex,      // "Not a valid Instrument-firmware file."
  kFileInvalid,     // fwdl's check of the HEX file found an error before the port was opened
  kFileUnreadable,  // the chosen file cannot be opened or measured (no box)
  kFileEmpty,       // an empty DVB image: there is nothing to flash
  kFileTooLarge,    // a DVB image over what the header's 32-bit length can announce
  kFileUntrusted,   // fwdl --trust: no good signature by a trusted key, refused before the port
  kPortUnusable,    // the port cannot be opened ("ERROR, Can't use comport ...")
  kNoPort,          // a download started with no port open ("Select the comport ...")
  kPortLost,        // the device of the port went during the run (unplugged)
  kSearchAborted,   // "Abort Search..." before the loader answered
  kCancelled,       // Cancel on the instructions, or no file chosen
  kExited,          // Exit (or Ctrl-C in fwdl) closed the port during the run
  kBoundError,      // the receive poll's bound message ended the program
};

// A short name for records and JSON, such as "error_verdict".
const char* OutcomeName(Outcome outcome);

// What a download procedure is doing; front ends ask instead of reading
// the window.
enum class Phase {
  kIdle,          // no procedure runs
  kInstructions,  // the first box is open
  kWakeUp,        // HEX: pinging the loader; "Abort Search..." is offered
  kSearch,        // waiting for the prompt (and, DVB, for the go-ahead)
  kFileChoice,    // the file dialog
  kSending,       // the firmware goes out
  kResult,        // waiting for the loader's verdict or the flashing report
};

const char* PhaseName(Phase phase);

}  // namespace fwdl
