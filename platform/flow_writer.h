// The flow writer: XON/XOFF kept by the program on a port whose driver
// does not stop its output on XOFF (on Linux most USB adapters; on Windows
// the CH34x drivers and usbser.sys). One loop for every system, over the
// raw operations of one open port (raw_port.h).
//
// Principles of operation
// - The driver hands XON and XOFF up with the data. Everything read goes
//   through the flow state (software_flow.h), which takes the two out and
//   holds or releases our output; the rest waits there for the receive poll.
// - While writing it looks at the input every millisecond, or at once when
//   input comes, so that an XOFF stops it within a few bytes.
// - At most SoftwareFlow::kMostQueued bytes are below us, and a write is at
//   least SoftwareFlow::kBurst bytes (or the run's last few): where every
//   write call costs a USB frame, the calls stay few and the line full.
#pragma once

#include <cstdint>

#include "platform/raw_port.h"
#include "platform/software_flow.h"

namespace fwdl {

class FlowWriter {
 public:
  using Clock = RawPort::Clock;

  FlowWriter(RawPort& port, std::uint32_t line_bytes_per_second);

  // The line's pace changed (the line settings were applied).
  void SetLineRate(std::uint32_t bytes_per_second);
  // Received bytes waiting, with XON and XOFF taken out; never blocks.
  PortResult Waiting();
  PortResult Read(void* data, std::uint32_t count);
  // Writes what the flow allows of `count` bytes until `deadline`; the
  // count reports what the driver took, never more than once.
  PortResult Write(const void* data, std::uint32_t count, Clock::time_point deadline);
  // As if XON had come.
  void Resume() { flow_.Resume(); }
  bool held() const { return flow_.held(); }

 private:
  // Moves what the device has into the flow state.
  PortError Drain();
  // The driver's queue: measured now and then, counted in between.
  std::size_t DriverQueued(Clock::time_point now);

  RawPort& port_;
  SoftwareFlow flow_;
  Clock::time_point drained_{}, measured_{};
  std::size_t driver_queued_ = 0;  // as measured, plus what was written since
};

// The bytes a second that a line carries with these settings (start bit,
// data bits, parity, stop bits).
std::uint32_t LineBytesPerSecond(const LineSettings& settings);

}  // namespace fwdl
