// The firmware the station serves: examined once, before any slot runs, as
// fwdl would examine it (its procedure from its name, a HEX file checked
// record by record, a DVB image not empty), and shown on the page with its
// size and SHA-256 so that the line can tell which image it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fwdl::station {

struct Firmware {
  std::string path;
  std::string procedure;  // "hex" or "dvb": the fwdl command each slot runs
  std::string sha256;
  std::uint64_t size = 0;
};

// Fills `firmware` from the file at `path`; why it will not do, or nothing.
std::optional<std::string> ExamineFirmware(const std::string& path, Firmware& firmware);

}  // namespace fwdl::station
