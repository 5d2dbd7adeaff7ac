// XON/XOFF kept by the program itself, for serial drivers that do not stop
// their output when the other side sends XOFF (most USB adapters on Linux:
// the USB-serial layer has no stop operation, and its queue of some 4 KB
// goes out after the XOFF all the same).
//
// Principles of operation
// - The kernel's IXON is off, so XON (0x11) and XOFF (0x13) reach us. Every
//   byte read goes through Received: the two are taken out, exactly as IXON
//   would, and hold or release our output; the rest queue here, in order,
//   until the receive poll takes them.
// - While held, nothing is written. While not held, at most `most_queued`
//   bytes are below us: the larger of what the driver reports queued
//   (TIOCOUTQ) and what cannot have gone out on the line yet at its rate
//   (a pseudo-terminal reports 0). A line that was idle or held has sent
//   what it had, and no more: no sending credit builds up.
// - Plain data and times only; the POSIX backend does the reading, writing
//   and waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fwdl {

class SoftwareFlow {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr char kXon = 0x11;
  static constexpr char kXoff = 0x13;
  // Bytes that may be below us at most, and how many must have gone out on
  // the line before writing starts again: a few milliseconds of a
  // 57600-baud line, so that what reaches the instrument after its XOFF
  // stays small, and writing happens in bursts, not byte by byte (where
  // each write call costs a USB frame). The 12 bytes left when a burst
  // may go are 2 ms of line: a sleep that comes late leaves no gap.
  static constexpr std::size_t kMostQueued = 32;
  static constexpr std::size_t kBurst = 20;
  // What the receive side keeps at most; the rest waits in the kernel.
  static constexpr std::size_t kMostPending = 60000;

  explicit SoftwareFlow(std::uint32_t bytes_per_second) : bytes_per_second_(bytes_per_second) {}

  // Bytes read from the device.
  void Received(const char* data, std::size_t size);
  bool held() const { return held_; }
  // As if XON had come: output held by an XOFF from before goes on.
  void Resume() { held_ = false; }

  // Received bytes not yet taken, and taking them.
  std::size_t pending() const { return pending_.size() - taken_; }
  std::size_t Take(char* data, std::size_t count);
  bool Full() const { return pending() >= kMostPending; }

  // How many bytes may be written now, with `driver_queued` bytes in the
  // driver's queue; 0 while held.
  std::size_t Room(Clock::time_point now, std::size_t driver_queued) const;
  // `count` bytes were handed to the driver at `now`.
  void Wrote(Clock::time_point now, std::size_t count);
  // When a burst may be written again, with `queued` bytes below us.
  Clock::time_point NextBurst(Clock::time_point now, std::size_t queued) const;
  // Bytes handed down that cannot have gone out on the line yet.
  std::size_t InFlight(Clock::time_point now) const;
  // How long `bytes` take on the line.
  std::chrono::nanoseconds LineTime(std::size_t bytes) const;

 private:

  std::uint32_t bytes_per_second_;
  bool held_ = false;
  std::string pending_;
  std::size_t taken_ = 0;
  Clock::time_point line_busy_until_{};  // the line has sent all we wrote by then
};

}  // namespace fwdl
