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
//
// Its rooms: station_options (the command line), firmware (the image it
// serves, examined once), slot_places (where each slot's port leads),
// station.cpp (the requests routed to the slots), slot_processes (one fwdl
// per slot and the threads that read it); slot and tally (what the page
// shows), requests and http_server (the HTTP interface), child_process.
#pragma once

#include <string>

namespace fwdl::station {

// `fwdl station ...`: the exit code.
int StationMain(int argc, char** argv, const std::string& version);

}  // namespace fwdl::station
