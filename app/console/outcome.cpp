#include "outcome.h"

namespace fwdl::console {
namespace {

bool StartsWith(const std::string& text, const char* start) { return text.rfind(start, 0) == 0; }

}  // namespace

Outcome OutcomeOf(const RunEnd& end) {
  if (end.interrupted) return Outcome::kInterrupted;
  // A lost port ends each procedure its own way ("Download failed.", "No
  // contact", no box); to a script it is one outcome.
  if (end.port_lost) return Outcome::kPortUnusable;
  if (!end.boxes.empty()) {
    const ShownBox& last = end.boxes.back();
    // The HEX loader's verdict comes under "INFO" only when it is no error.
    if (last.caption == "INFO" || StartsWith(last.text, "Download comleted.")) {
      return Outcome::kSuccess;
    }
    if (StartsWith(last.text, "Download failed.") ||
        StartsWith(last.text, "Error while downloading.")) {
      return Outcome::kFailed;
    }
    if (StartsWith(last.text, "No contact with Instrument") ||
        StartsWith(last.text, "Lost contact with Instrument")) {
      return Outcome::kNoContact;
    }
    if (StartsWith(last.text, "Not a valid Instrument-firmware file.")) {
      return Outcome::kFileRefused;
    }
    if (StartsWith(last.text, "ERROR, Can't use comport") ||
        StartsWith(last.text, "Select the comport")) {
      return Outcome::kPortUnusable;
    }
  }
  // Ends without a box of their own: the receive poll's bound errors close
  // the program; otherwise the port was lost, or the file could not be
  // opened when the procedure came to it.
  if (end.closed) return Outcome::kFailed;
  return end.port_open ? Outcome::kFileRefused : Outcome::kPortUnusable;
}

const char* Describe(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess: return "success";
    case Outcome::kFailed: return "the download failed";
    case Outcome::kUsage: return "usage error";
    case Outcome::kNoContact: return "no contact with the instrument";
    case Outcome::kPortUnusable: return "the port cannot be used";
    case Outcome::kFileRefused: return "the file is refused";
    case Outcome::kInterrupted: return "interrupted";
  }
  return "";
}

}  // namespace fwdl::console
