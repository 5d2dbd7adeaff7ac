// One open serial device as its backend drives it: the few raw operations
// that the writers above it are built on, and the backend's own ones.
//
// Principles of operation
// - Each backend implements NativePort for its system
//   (serial_port_posix.cpp, serial_port_win32.cpp); everything above it,
//   the flow writer included, is portable and lives once.
// - Nothing here blocks for long: Waiting and Read never wait, Write waits
//   for the driver at most until the time it is given, WaitForInput sleeps
//   until input comes or its time is up.
// - A model of an adapter (a bench's) may sit between the writers and the
//   native port: it implements RawPort over the native one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace fwdl {

class RawPort {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~RawPort() = default;

  // Received bytes waiting to be read; clears a line error. Never blocks.
  virtual PortResult Waiting() = 0;
  // At most `count` of the bytes waiting; never blocks.
  virtual PortResult Read(void* data, std::uint32_t count) = 0;
  // What the driver takes of `count` bytes by `until`: one attempt at
  // least, even when `until` has passed. An error leaves the port unusable.
  virtual PortResult Write(const void* data, std::uint32_t count, Clock::time_point until) = 0;
  // Bytes handed to the driver that it has not sent yet; 0 when it cannot tell.
  virtual std::uint32_t OutputQueued() = 0;
  // Sleeps until input is waiting or `until` (on some systems at most a
  // millisecond at a time); a device that has gone says so.
  virtual PortError WaitForInput(Clock::time_point until) = 0;
  virtual Clock::time_point Now() const { return Clock::now(); }
};

// The backend's port: the raw operations and those of the line itself.
class NativePort : public RawPort {
 public:
  // Fills `settings` from the port; on failure the record stays untouched.
  virtual PortError GetState(LineSettings& settings) = 0;
  // Applies `settings`. With `driver_keeps_flow` false the program keeps
  // XON/XOFF: the driver must not act on the ones it receives but hand them up.
  virtual PortError SetState(const LineSettings& settings, bool driver_keeps_flow) = 0;
  // Lifts a hold that an XOFF from the other side put on the driver's output.
  virtual void ResumeOutput() = 0;
};

// Opens `name` for exclusive use, found in `places`; nothing and the reason
// when it cannot. `device` tells what is known of the device behind it (its
// driver, the flow mode that driver needs).
std::unique_ptr<NativePort> OpenNativePort(const std::string& name, const SystemPlaces& places,
                                           PortError& error, SerialDevice& device);

}  // namespace fwdl
