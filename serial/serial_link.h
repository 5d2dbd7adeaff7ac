// The serial link: the one open port, the receive buffer that the 10 ms
// poll fills, and the waits that keep the window alive.
//
// Principles of operation
// - ComHandle, private, is the open port, or kInvalidPortHandle. Only
//   SelectPort (via OpenComPort) makes it valid; it becomes invalid again by
//   the next SelectPort, by Exit1Click (the Exit command, a bound error of
//   the poll, the end of some downloads) and by a lost device (LosePort).
// - The receive buffer (receive_buffer.h): only Timer1Timer appends. Its
//   count goes back to 0 in SelectPort (a port opened), at the poll's wrap
//   point, while no procedure runs or a write waits (those bytes are never
//   read), and where a download procedure starts an exchange. Procedures
//   read it through received(), which cannot change it.
// - Bytes reach the buffer only in Timer1Timer, and that runs only while
//   events are handled, so the buffer changes only across a Delay, an event
//   pump, a write that waits for a held line, a message box or a file
//   dialog.
// - A failure of the port comes from the backend as a PortError and goes to
//   the box that reports it, as its details; nothing here prints.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/serial_port.h"
#include "platform/window_ops.h"
#include "serial/receive_buffer.h"
#include "serial/timer_schedule.h"

namespace fwdl {

// The bounds of the poll tick. A read asks for no more than fits the read
// area with its terminating zero and the receive buffer's room; what does
// not fit stays queued at the port.
inline constexpr std::uint32_t kReadAreaSize = 10000;
// The receive poll's period (Timer1).
inline constexpr int kPollInterval = 10;
inline constexpr std::uint32_t kReadLimit = 60000;  // most bytes a port may hold
// The longest line one read adds to the receive log; front ends keep the
// newest lines only, so the log stays small under a flood.
inline constexpr std::size_t kLogLineMax = 256;
// How long one write waits for a held line before the window's events are
// handled again: short enough for a responsive window, long enough not to
// spin, and far shorter than the output queue takes to drain, so the line
// stays full.
inline constexpr int kWriteWaitMs = 20;

// The line: 57600 baud, 8N1, XON/XOFF both ways, DTR and RTS on, no
// hardware handshake. Written over whatever the port reported.
void WriteLineSettings(LineSettings& settings);

// How the port chosen last stopped being open.
enum class Closure { kNone, kExit, kBoundError, kLost };

class SerialLink {
 public:
  SerialLink(WindowOps& window, SerialPorts& ports, TimerSchedule& timers);
  // A port still open is closed: the ports must outlive the link.
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Port connection.
  // Closes any open port, opens the named one ("COM1".."COM8") and brings
  // the window and the receive poll into line with the outcome. True when
  // the port is open afterwards.
  bool SelectPort(const std::string& name);
  // Opens and sets up the port; the outcome is ComHandle, valid or not.
  // When the port cannot be opened: the reason, for the box's details.
  std::string OpenComPort(const std::string& name);
  // A write that returns when the port has taken every byte (see
  // WriteToPort), or the port has closed or gone. False only
  // when no port is open; true otherwise, whatever the write did.
  bool SendBytes(const void* bytes, std::uint32_t count);
  // Writes to the open port and returns the count it took: all of them, or
  // fewer when the port has gone or been closed meanwhile. While the line
  // is held (XOFF) it waits handling window events, so the window stays
  // alive and Exit can end the wait; with `resume_when_held` it lifts the
  // XOFF instead. No port open: 0.
  std::uint32_t WriteToPort(const void* bytes, std::uint32_t count, bool resume_when_held = false);
  // True while a write waits for the line.
  bool Writing() const { return writing_; }
  bool PortOpen() const { return ComHandle != kInvalidPortHandle; }
  // How the port chosen last stopped being open; kNone while it is open.
  Closure closure() const { return closure_; }
  bool PortLost() const { return closure_ == Closure::kLost; }
  // Why the port chosen last did not open, its remedy included; no failure once it did.
  const PortError& OpenError() const { return open_error_; }
  // The box that tells the user that the device of the port has gone.
  void ShowPortLost();
  // The no-port state: poll stopped, download buttons hidden, "Select
  // Port...", and with `menus_usable` the port menu and Exit usable (not in
  // the middle of a procedure: no port choice may start inside it).
  void EnterNoPortState(bool menus_usable);
  // The name the port was chosen by, such as "COM3".
  const std::string& PortName() const { return port_name_; }
  // Bytes the port has taken since it was opened.
  std::uint64_t BytesWritten() const { return bytes_written_; }
  // Of those, the ones its driver has not put on the line yet; 0 when no
  // port is open or the system cannot tell.
  std::uint32_t OutputQueued() const { return PortOpen() ? ports_.OutputQueued(ComHandle) : 0; }
  // The bytes a second the line carries with the settings it was given.
  std::uint32_t LineRate() const;
  // Who keeps XON/XOFF on the port chosen last.
  FlowMode Flow() const { return flow_; }
  // Output held by an XOFF that came before now is resumed.
  void ResumeOutput();
  // Stops the poll, closes the port and closes the main window.
  void Exit1Click();

  // Receive poll and waits.
  void Timer1Timer();
  void Timer2Timer();
  // Returns after at least `ms` milliseconds (ms >= 1), having handled every
  // event that came in meanwhile. Sleeps between events. Every wait is one
  // for the instrument: with no port open (after Exit or a lost port) it
  // returns at once, since nothing more can arrive.
  void Delay(unsigned ms);
  // True when the last received byte is `byte`; false on an empty buffer.
  bool LastByteIs(std::uint8_t byte) const { return buffer_.LastByteIs(byte); }
  // What the instrument sent since the current exchange began.
  const ReceiveBuffer& received() const { return buffer_; }
  // Before each exchange whose answer a procedure wants to see by itself.
  void StartExchange() { buffer_.StartExchange(); }

  WindowOps& window() { return window_; }
  TimerSchedule& timers() { return timers_; }

  // A download procedure runs from construction to destruction. Output
  // held by an old XOFF is resumed as it starts. Only while one runs do
  // received bytes count toward the buffer's fill limit: bytes that come
  // while the program is idle go to the log and are never read.
  class Procedure {
   public:
    explicit Procedure(SerialLink& link) : link_(link) {
      link_.procedure_running_ = true;
      link_.ResumeOutput();
    }
    ~Procedure() { link_.procedure_running_ = false; }
    Procedure(const Procedure&) = delete;
    Procedure& operator=(const Procedure&) = delete;

   private:
    SerialLink& link_;
  };

 private:
  void ShowBoundError(const char* text);
  // Closes the open port; the window shows no port.
  void ClosePort();
  // The device has gone: the port closes, and the user is told (at once
  // while idle; a running procedure tells it at its end).
  void LosePort(const PortError& error);
  // "COM3 (/dev/ttyUSB0): cannot open: Permission denied", and the
  // remedy on the lines below where the backend gave one.
  std::string Reason(const char* what, const PortError& error) const;

  WindowOps& window_;
  SerialPorts& ports_;
  TimerSchedule& timers_;
  PortHandle ComHandle = kInvalidPortHandle;
  ReceiveBuffer buffer_;
  LineSettings line_settings_;  // outlives each opening, as a DCB would
  std::array<char, kReadAreaSize> read_area_{};
  bool showing_bound_error_ = false;
  bool procedure_running_ = false;
  bool writing_ = false;
  Closure closure_ = Closure::kNone;
  std::string port_name_;
  std::string lost_reason_;
  PortError open_error_;
  std::uint64_t bytes_written_ = 0;
  FlowMode flow_ = FlowMode::kKernel;
};

}  // namespace fwdl
