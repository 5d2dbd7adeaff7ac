// The firmware the station serves: examined once, before any slot runs, as
// fwdl would examine it (its procedure from its name, a HEX file checked
// record by record, a DVB image not empty), and shown on the page with its
// size and SHA-256 so that the line can tell which image it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwdl::station {

struct Firmware {
  std::string path;
  std::string procedure;  // "hex" or "dvb": the fwdl command each slot runs
  std::string sha256;
  std::uint64_t size = 0;
  std::optional<std::string> signed_by;  // --trust: the fingerprint of its key
};

// Fills `firmware` from the file at `path`; why it will not do, or nothing.
// With trusted keys (--trust) the file is read once and what was read is
// what is checked and examined.
std::optional<std::string> ExamineFirmware(const std::string& path,
                                           const std::vector<std::string>& trust,
                                           Firmware& firmware);

// One file of --releases: offered when it examines well, else refused with why.
struct Offered {
  std::string name;  // the file's name in the folder
  Firmware firmware;
  std::optional<std::string> refused;
};

// Every *.hex and *.bin in `folder`, in order of name, each examined with
// `trust`; why the folder cannot be read, or nothing.
std::optional<std::string> ExamineReleases(const std::string& folder,
                                           const std::vector<std::string>& trust,
                                           std::vector<Offered>& offered);

}  // namespace fwdl::station
