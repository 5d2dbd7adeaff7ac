// One download as a fuzz input plays it (see script.h), on fake ports and a
// fake clock, with the program's core in a scripted window. After the run,
// and after every tick of the program's timers, it checks what must hold on
// every path:
// - the run ends, and each of the procedure's waits ends within its own
//   length plus the user's time (the boxes, the patience with the HEX
//   search) and the line's holds; the pauses that give the instrument time
//   (L to Y, go-ahead to header) are not cut short; one ping a tick;
// - the window is restored: the last four events show Button1, show
//   Button3, enable Exit1, enable Port1; after a lost device the window is
//   in the no-port state instead; "Abort Search..." and the procedure's
//   timers are gone; the program closes exactly on the ends that close it;
// - the line carries no more than the protocol allows for the file, and
//   exactly that where the outcome says the whole file went out;
// - the receive buffer's count never passes the buffer, nor the fill limit
//   without the bound message, and the poll never runs without a port.
// A failure prints what failed and aborts, which libFuzzer reports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fwdl::fuzz {

enum class Procedure { kHex, kDvb };

void RunDownload(Procedure procedure, const std::uint8_t* data, std::size_t size);

}  // namespace fwdl::fuzz
