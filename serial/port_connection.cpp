// Opening, setting up, writing to and closing the port.
#include "serial_link.h"

#include "platform/flow_writer.h"

namespace fwdl {
void WriteLineSettings(LineSettings& dcb) {
  dcb.BaudRate = 57600;
  dcb.ByteSize = 8;
  dcb.Parity = kNoParity;
  dcb.StopBits = kOneStopBit;
  dcb.fBinary = true;
  dcb.fParity = false;
  dcb.fOutxCtsFlow = false;
  dcb.fOutxDsrFlow = false;
  dcb.fDtrControl = kDtrControlEnable;
  dcb.fDsrSensitivity = false;
  dcb.fTXContinueOnXoff = false;
  dcb.fOutX = true;
  dcb.fInX = true;
  dcb.fErrorChar = false;
  dcb.fNull = false;
  dcb.fRtsControl = kRtsControlEnable;
  dcb.fAbortOnError = false;
  dcb.XonLim = 2;
  dcb.XoffLim = 20;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x3F;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

SerialLink::SerialLink(WindowOps& window, SerialPorts& ports, TimerSchedule& timers)
    : window_(window), ports_(ports), timers_(timers) {
  timers_.SetInterval(Timer::Timer1, kPollInterval);
}

SerialLink::~SerialLink() {
  if (PortOpen()) ports_.Close(ComHandle);
}

std::string SerialLink::Reason(const char* what, const PortError& error) const {
  const std::string device = ports_.DeviceOf(port_name_);
  std::string reason = port_name_;
  if (!device.empty() && device != port_name_) reason += " (" + device + ")";
  reason += std::string(": ") + what + ": " + error.reason;
  return error.remedy.empty() ? reason : reason + "\n" + error.remedy;
}

bool SerialLink::SelectPort(const std::string& name) {
  if (PortOpen()) ClosePort();
  const std::string reason = OpenComPort(name);
  if (!PortOpen()) {
    EnterNoPortState(true);
    window_.MessageBox("ERROR, Can't use comport '" + name + "'.", "", BoxButtons::Ok, reason);
    return false;
  }
  timers_.SetEnabled(Timer::Timer1, true);
  buffer_.StartExchange();
  window_.SetButtonVisible(Button::Button1, true);
  window_.SetButtonVisible(Button::Button3, true);
  window_.SetStatusText("");
  return true;
}

std::string SerialLink::OpenComPort(const std::string& name) {
  port_name_ = name;
  closure_ = Closure::kNone;
  bytes_written_ = 0;
  const OpenResult opened = ports_.Open(name);
  open_error_ = opened.error;
  ComHandle = opened.handle;
  flow_ = opened.flow;
  if (!PortOpen()) return Reason("cannot open", opened.error);
  // Worth a line: the program holds the line back itself on this port.
  if (flow_ == FlowMode::kProgram) {
    window_.Notice(Reason("XON/XOFF kept by the program", {PortError::Kind::kNone, opened.flow_why}));
  }
  if (const PortError error = ports_.GetState(ComHandle, line_settings_); error.failed()) {
    window_.MessageBox("ERROR, Can't get commport state.", "", BoxButtons::Ok,
                       Reason("cannot read the line settings", error));
  }
  WriteLineSettings(line_settings_);
  if (const PortError error = ports_.SetState(ComHandle, line_settings_); error.failed()) {
    window_.MessageBox("ERROR, Can't set commport state.", "", BoxButtons::Ok,
                       Reason("cannot set the line settings", error));
  }
  // An XOFF left over from before must not hold the first download.
  ResumeOutput();
  return {};
}

std::uint32_t SerialLink::LineRate() const { return LineBytesPerSecond(line_settings_); }

bool SerialLink::SendBytes(const void* bytes, std::uint32_t count) {
  if (!PortOpen()) return false;
  (void)WriteToPort(bytes, count);
  return true;
}

std::uint32_t SerialLink::WriteToPort(const void* bytes, std::uint32_t count,
                                       bool resume_when_held) {
  const auto* data = static_cast<const std::uint8_t*>(bytes);
  std::uint32_t written = 0;
  const bool outer = !writing_;
  writing_ = true;
  while (written < count && PortOpen()) {
    const PortResult r = ports_.Write(ComHandle, data + written, count - written, kWriteWaitMs);
    written += r.count;
    bytes_written_ += r.count;
    // A write that fails leaves the port unusable, whatever the reason.
    if (r.error.failed()) {
      LosePort(r.error);
      break;
    }
    if (written == count) break;
    if (resume_when_held) ResumeOutput();
    // Held: let the window live; Exit may close the port meanwhile.
    window_.PumpEvents();
  }
  if (outer) writing_ = false;
  return written;
}

void SerialLink::ResumeOutput() {
  if (PortOpen()) ports_.ResumeOutput(ComHandle);
}

void SerialLink::EnterNoPortState(bool menus_usable) {
  timers_.SetEnabled(Timer::Timer1, false);
  window_.SetButtonVisible(Button::Button1, false);
  window_.SetButtonVisible(Button::Button3, false);
  window_.SetStatusText("Select Port...");
  if (menus_usable) {
    window_.SetMenuEnabled(MenuItem::Exit1, true);
    window_.SetMenuEnabled(MenuItem::Port1, true);
  }
}

void SerialLink::ClosePort() {
  timers_.SetEnabled(Timer::Timer1, false);
  ports_.Close(ComHandle);
  ComHandle = kInvalidPortHandle;
  EnterNoPortState(!procedure_running_);
}

void SerialLink::LosePort(const PortError& error) {
  lost_reason_ = Reason("the device has gone", error);
  closure_ = Closure::kLost;
  ClosePort();
  if (!procedure_running_) ShowPortLost();
}

void SerialLink::ShowPortLost() {
  window_.MessageBox("The device of comport '" + port_name_ +
                         "' has gone.\r\nCheck the cable, then choose the port again.",
                     "ERROR", BoxButtons::Ok, lost_reason_);
}

void SerialLink::Exit1Click() {
  timers_.SetEnabled(Timer::Timer1, false);
  if (PortOpen()) {
    ports_.Close(ComHandle);
    ComHandle = kInvalidPortHandle;
    if (closure_ == Closure::kNone) closure_ = Closure::kExit;
  }
  window_.CloseMainWindow();
}

}  // namespace fwdl
