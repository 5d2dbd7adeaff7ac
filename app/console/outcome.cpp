#include "outcome.h"

namespace fwdl::console {

ExitCode ExitCodeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess: return ExitCode::kSuccess;
    case Outcome::kErrorVerdict:
    case Outcome::kDownloadFailed:
    case Outcome::kBoundError: return ExitCode::kFailed;
    case Outcome::kNoContact:
    case Outcome::kLostContact: return ExitCode::kNoContact;
    case Outcome::kPortUnusable:
    case Outcome::kNoPort:
    case Outcome::kPortLost: return ExitCode::kPortUnusable;
    case Outcome::kFileNotHex:
    case Outcome::kFileInvalid:
    case Outcome::kFileUnreadable:
    case Outcome::kFileEmpty:
    case Outcome::kFileTooLarge: return ExitCode::kFileRefused;
    case Outcome::kSearchAborted:
    case Outcome::kCancelled:
    case Outcome::kExited: return ExitCode::kInterrupted;
  }
  return ExitCode::kFailed;
}

const char* Describe(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess: return "success";
    case Outcome::kErrorVerdict: return "the loader reported an error";
    case Outcome::kDownloadFailed: return "the download failed";
    case Outcome::kBoundError: return "the instrument sent more than the program can hold";
    case Outcome::kNoContact: return "no contact with the instrument";
    case Outcome::kLostContact: return "lost contact with the instrument";
    case Outcome::kPortUnusable: return "the port cannot be used";
    case Outcome::kNoPort: return "no port open";
    case Outcome::kPortLost: return "the port was lost";
    case Outcome::kFileNotHex: return "the file is no HEX firmware file";
    case Outcome::kFileInvalid: return "the HEX file is broken";
    case Outcome::kFileUnreadable: return "the file cannot be read";
    case Outcome::kFileEmpty: return "the file is empty";
    case Outcome::kFileTooLarge: return "the file is too large";
    case Outcome::kSearchAborted: return "the search was aborted";
    case Outcome::kCancelled: return "cancelled";
    case Outcome::kExited: return "interrupted";
  }
  return "";
}

}  // namespace fwdl::console
