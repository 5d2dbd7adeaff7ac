// fwdl station: several instruments at once, one fwdl process per slot,
// shown and driven from one page in the browser.
//
//   fwdl station --slot PORT [--slot PORT ...] [--record FILE]
//                [--listen ADDR:PORT] [--token TOKEN] FIRMWARE
//
// The procedure comes from the firmware's name (.hex: "Send Vardelo
// Firmware", .bin: "Send DVB Firmware"), checked before anything starts.
// Each slot runs `fwdl hex|dvb --port PORT --json --serial S [--record
// FILE] FIRMWARE` when the page starts it; its events go to every page
// (requests.h), its questions wait for the page's answer. Ctrl-C ends every
// running slot as Ctrl-C would end that fwdl, each with its record, and
// then the station; a second one ends the slots at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fwdl::station {

struct StationOptions {
  std::vector<std::string> slots;  // the ports, as --port takes them
  std::optional<std::string> record, token;
  std::string listen = "127.0.0.1:8470";
  std::string firmware;
  std::vector<std::string> trust;  // --trust: the key files
};

// `arguments` follow "station"; a usage problem, or nothing.
std::optional<std::string> ParseStation(const std::vector<std::string>& arguments,
                                        StationOptions& options);

// Splits "ADDR:PORT" ("127.0.0.1:8470", "[::1]:8470", "bench-3:8470");
// nothing when it is no such text.
std::optional<std::pair<std::string, unsigned short>> SplitListen(const std::string& listen);

// Where a slot's port leads: the device its fwdl will open, found as fwdl
// --port finds it (a selector among the ports present, COMn by its
// mapping), "" when nothing is behind it or a selector fits no port or
// several; and what tells the adapter apart, as fwdl ports shows it.
struct SlotPlace {
  std::string device, adapter;
};
std::vector<SlotPlace> PlaceSlots(const std::vector<std::string>& slots);
// Two slots that lead to one device would only fight over it: why, or nothing.
std::optional<std::string> SharedDevice(const std::vector<std::string>& slots,
                                        const std::vector<SlotPlace>& places);

// `fwdl station ...`: the exit code.
int StationMain(int argc, char** argv, const std::string& version);

extern const char kStationHelp[];

}  // namespace fwdl::station
