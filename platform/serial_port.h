// Serial port operations of the operating system.
//
// Principles of operation
// - The program talks to at most one port at a time through an opaque
//   PortHandle. kInvalidPortHandle means "no port"; it is what Open returns,
//   with the reason, for a port that is missing, held by another program,
//   or not a serial device at all.
// - Ports are named "COM1".."COM8" everywhere in the program. PortDevice()
//   (serial_devices.h) tells which device a name stands for on this system.
// - Line settings travel in a LineSettings record shaped like the Win32 DCB.
//   GetState fills it from the port; a failed GetState leaves it untouched.
//   The caller writes its values over the record and hands it to SetState.
// - WaitingCount never blocks. Read delivers at most the bytes already
//   waiting and never waits. Write hands the system a whole run of bytes
//   and waits at most a given time for it to take them (the other side may
//   hold the line with XOFF); it reports what was taken, so the caller
//   keeps its window alive between such waits and calls again for the
//   rest, and nothing goes out twice. ResumeOutput lifts an XOFF that is
//   holding our output.
// - Who keeps XON/XOFF is decided per port when it opens: the driver (or
//   the adapter's chip), or the program itself with the flow writer
//   (flow_writer.h) where the driver lets XOFF pass. The front end may
//   decide it instead, in the options it hands SystemSerialPorts.
// - Every failure is a PortError made by the backend that saw it: a kind,
//   and the system's own reason (errno on POSIX, GetLastError on Win32).
//   A port that will not open also gets its remedy where the system tells
//   one (port_remedy.h): the group to join, the process that holds it, the
//   adapter whose driver is missing.
// - A device that has gone (an adapter unplugged, the other end of a
//   pseudo-terminal closed) is reported as kGone by WaitingCount, Read and
//   Write; the caller then closes the port.
// - Close releases the port; there is nothing to restore.
//
// SystemSerialPorts is implemented once per operating system
// (serial_port_posix.cpp, serial_port_win32.cpp); the build picks one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/serial_devices.h"

namespace fwdl {

using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPortHandle = -1;  // INVALID_HANDLE_VALUE

// Values of the DCB fields that the program uses.
inline constexpr std::uint8_t kNoParity = 0;    // NOPARITY
inline constexpr std::uint8_t kOneStopBit = 0;  // ONESTOPBIT
inline constexpr std::uint8_t kDtrControlEnable = 1;  // DTR_CONTROL_ENABLE
inline constexpr std::uint8_t kRtsControlEnable = 1;  // RTS_CONTROL_ENABLE

// The line settings record. The named fields are those of the Win32 DCB;
// `native` carries the platform's own record (DCB, termios) between GetState
// and SetState, so that whatever the program does not set keeps what the
// port reported.
struct LineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = 0;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  std::uint8_t fRtsControl = 0;
  bool fAbortOnError = false;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  alignas(8) std::array<unsigned char, 128> native{};
};

// Why an operation on a port failed, as the backend that saw it tells it:
// a kind the program can act on, and the system's own words for the user.
struct PortError {
  enum class Kind {
    kNone,          // no failure
    kNoSuchDevice,  // nothing by that name (or nothing behind the port name)
    kBusy,          // another program holds the port
    kPermission,    // the user may not open it
    kNotSerial,     // it exists but is no serial device (a file, a directory)
    kGone,          // the device has gone (unplugged); the caller closes the port
    kOther,
  };
  PortError() = default;
  PortError(Kind kind, std::string reason, std::string remedy = {})
      : kind(kind), reason(std::move(reason)), remedy(std::move(remedy)) {}

  Kind kind = Kind::kNone;
  std::string reason;  // such as "Permission denied"; empty when kind is kNone
  // What the technician can do about it, in the backend's words, such as
  // "/dev/ttyUSB0 belongs to the group dialout, and the user ann is not in
  // it: sudo usermod -aG dialout ann, then log in again"; empty when the
  // system tells nothing more. One line a finding.
  std::string remedy;

  bool failed() const { return kind != Kind::kNone; }
};

// The outcome of a transfer on a port: a count of bytes, and what went
// wrong, if anything.
struct PortResult {
  std::uint32_t count = 0;
  PortError error;

  bool lost() const { return error.kind == PortError::Kind::kGone; }
};

struct OpenResult {
  PortHandle handle = kInvalidPortHandle;
  PortError error;  // why the handle is invalid
  FlowMode flow = FlowMode::kKernel;
  std::string flow_why;  // such as "by its driver", for the technician's log

  static OpenResult Opened(PortHandle handle) {
    OpenResult opened;
    opened.handle = handle;
    return opened;
  }
  static OpenResult Refused(PortError error) {
    OpenResult refused;
    refused.error = std::move(error);
    return refused;
  }
};

// The operations the program uses on a serial port. Tests put a fake
// port behind this interface; the program uses SystemSerialPorts. Every
// failure comes back as a PortError; nothing keeps a "last error".
class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Opens the named port for exclusive use.
  virtual OpenResult Open(const std::string& name) = 0;
  // Fills `settings` from the port; on failure the record stays untouched.
  virtual PortError GetState(PortHandle port, LineSettings& settings) = 0;
  // Applies `settings` to the port.
  virtual PortError SetState(PortHandle port, const LineSettings& settings) = 0;
  // Number of received bytes waiting to be read; 0 when it cannot be told.
  // Clears any line error so that reception goes on.
  virtual PortResult WaitingCount(PortHandle port) = 0;
  // Reads at most `count` bytes that are already waiting.
  virtual PortResult Read(PortHandle port, void* data, std::uint32_t count) = 0;
  // Writes what the system takes of `count` bytes within about `wait_ms`
  // milliseconds; fewer while flow control holds the line. Any error means
  // that the port cannot be written any more.
  virtual PortResult Write(PortHandle port, const void* data, std::uint32_t count,
                           int wait_ms) = 0;
  // Bytes the port took that its driver has not put on the line yet
  // (TIOCOUTQ, COMSTAT.cbOutQue); 0 when the system cannot tell, as on a
  // pseudo-terminal.
  virtual std::uint32_t OutputQueued(PortHandle port) = 0;
  // Resumes our output if an XOFF from the other side is holding it.
  virtual void ResumeOutput(PortHandle port) = 0;
  virtual void Close(PortHandle port) = 0;
  // The device a port name leads to, for messages; empty when none.
  virtual std::string DeviceOf(const std::string& name) const = 0;
};

class RawPort;

// How SystemSerialPorts opens its ports, as the front end decides it.
struct PortOptions {
  // Who keeps XON/XOFF; nothing: each port's driver decides.
  std::optional<FlowMode> flow;
  // Why, for the technician's log, such as "FWDL_FLOW=program".
  std::string flow_why = "as asked for";
  // Puts a model of an adapter between the program and every port it
  // opens, for measurements; empty: the port as it is.
  std::function<std::unique_ptr<RawPort>(RawPort& native)> model;
};

class SystemSerialPorts final : public SerialPorts {
 public:
  explicit SystemSerialPorts(PortOptions options = {}) : options_(std::move(options)) {}

  OpenResult Open(const std::string& name) override;
  PortError GetState(PortHandle port, LineSettings& settings) override;
  PortError SetState(PortHandle port, const LineSettings& settings) override;
  PortResult WaitingCount(PortHandle port) override;
  PortResult Read(PortHandle port, void* data, std::uint32_t count) override;
  PortResult Write(PortHandle port, const void* data, std::uint32_t count, int wait_ms) override;
  std::uint32_t OutputQueued(PortHandle port) override;
  void ResumeOutput(PortHandle port) override;
  void Close(PortHandle port) override;
  std::string DeviceOf(const std::string& name) const override { return PortDevice(name); }

 private:
  PortOptions options_;
};

// Makes the termination requests of the system (SIGTERM, SIGINT, SIGHUP on
// POSIX) close the open port before the program ends, so that its exclusive
// use is lifted. Where the system has no such requests this does nothing.
void ReleasePortOnTermination();

}  // namespace fwdl
