// fwdl loopcheck PORT_A PORT_B: a field check of a serial adapter's flow
// control, with a null-modem cable between two adapters. fwdl writes on A
// as a download would (runs of a chunk's size, the program's waits, each
// flow mode in turn) while B plays an instrument: a small receive buffer
// that drains slower than the line fills it, XOFF when it is half full, XON
// when it has drained to a quarter. For each mode it tells the rate against
// the line's, the most bytes that arrived after an XOFF, what was lost or
// damaged, and which mode A's driver wants.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "platform/serial_port.h"

namespace fwdl::console {

struct LoopResult {
  std::uint64_t sent = 0;      // what A wrote
  std::uint64_t arrived = 0;   // what reached B
  std::uint64_t lost = 0;      // arrived while B's buffer was full
  std::uint64_t damaged = 0;   // arrived other than sent
  std::uint64_t most_after_xoff = 0;
  int holds = 0;               // XOFFs that B sent
  double seconds = 0;
  std::string failure;         // a port that cannot be used, or went
  bool Held() const { return failure.empty() && arrived == sent && lost == 0 && damaged == 0; }
};

struct LoopSettings {
  std::uint32_t bytes = 30000;       // written in each mode
  std::uint32_t buffer = 1024;       // B's receive buffer
  // XOFF once fewer than this are free: room for what a driver that stops
  // at once still lets through, and for B itself being held up a moment by
  // its own machine (a real instrument's UART is never late).
  std::uint32_t margin = 512;
  std::uint32_t drain_per_s = 5000;  // how fast B empties it: less than the line's 5,760
};

// One pass in `mode`; `ports_a` opens A with that mode, `ports_b` opens B.
LoopResult RunLoop(SerialPorts& ports_a, const std::string& a, SerialPorts& ports_b,
                   const std::string& b, const LoopSettings& settings);

// Both modes on the system's ports, a report on `out`; exit code 0 when a
// mode held, 1 when neither did, 4 when a port cannot be used.
int LoopCheck(const std::string& a, const std::string& b, const SystemPlaces& places,
              std::ostream& out);

}  // namespace fwdl::console
