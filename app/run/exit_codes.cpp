#include "exit_codes.h"

#include <cstdio>

namespace fwdl::console {
namespace {

using enum Outcome;

constexpr ExitCodeRow kTable[] = {
    {ExitCode::kSuccess, kSuccess, "the loader's verdict, or \"Download comleted.\"", "success"},
    {ExitCode::kFailed, kErrorVerdict, "the loader's verdict line begins with \"?\"",
     "the loader reported an error"},
    {ExitCode::kFailed, kDownloadFailed, "\"Error while downloading.\", \"Download failed.\"",
     "the download failed"},
    {ExitCode::kFailed, kBoundError, "the instrument sent more than the program can hold",
     "the instrument sent more than the program can hold"},
    {ExitCode::kUsage, std::nullopt, "usage error, or a record file that cannot be written", ""},
    {ExitCode::kNoContact, kNoContact, "\"No contact with Instrument...\"",
     "no contact with the instrument"},
    {ExitCode::kNoContact, kLostContact, "\"Lost contact with Instrument.\"",
     "lost contact with the instrument"},
    {ExitCode::kPortUnusable, kPortUnusable, "the port cannot be opened", "the port cannot be used"},
    {ExitCode::kPortUnusable, kPortLost, "the device went during the run (unplugged)",
     "the port was lost"},
    {ExitCode::kPortUnusable, kNoPort, "no port open when the download began", "no port open"},
    {ExitCode::kFileRefused, kFileUnreadable, "the file cannot be read", "the file cannot be read"},
    {ExitCode::kFileRefused, kFileInvalid, "the HEX file has an error (fwdl check shows it)",
     "the HEX file is broken"},
    {ExitCode::kFileRefused, kFileEmpty, "an empty DVB image", "the file is empty"},
    {ExitCode::kFileRefused, kFileTooLarge, "a DVB image over 4 GiB", "the file is too large"},
    {ExitCode::kFileRefused, kFileNotHex, "\"Not a valid Instrument-firmware file.\"",
     "the file is no HEX firmware file"},
    {ExitCode::kInterrupted, kSearchAborted, "Ctrl-C during the HEX search (\"Abort Search...\")",
     "the search was aborted"},
    {ExitCode::kInterrupted, kCancelled, "the instructions cancelled", "cancelled"},
    {ExitCode::kInterrupted, kExited, "Ctrl-C at any other time", "interrupted"},
};

const ExitCodeRow* RowOf(Outcome outcome) {
  for (const ExitCodeRow& row : kTable) {
    if (row.outcome == outcome) return &row;
  }
  return nullptr;
}

}  // namespace

std::span<const ExitCodeRow> ExitCodeTable() { return kTable; }

ExitCode ExitCodeOf(Outcome outcome) {
  const ExitCodeRow* row = RowOf(outcome);
  return row ? row->code : ExitCode::kFailed;
}

const char* Describe(Outcome outcome) {
  const ExitCodeRow* row = RowOf(outcome);
  return row ? row->closing : "";
}

std::string ExitCodeHelp() {
  std::string help;
  const ExitCodeRow* previous = nullptr;
  for (const ExitCodeRow& row : kTable) {
    char line[160];
    const bool first = !previous || previous->code != row.code;
    const char* name = row.outcome ? OutcomeName(*row.outcome) : "";
    if (first) {
      std::snprintf(line, sizeof line, "  %3d  %-15s  %s\n", static_cast<int>(row.code), name, row.meaning);
    } else {
      std::snprintf(line, sizeof line, "       %-15s  %s\n", name, row.meaning);
    }
    help += line;
    previous = &row;
  }
  return help;
}

}  // namespace fwdl::console
