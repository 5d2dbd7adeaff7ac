// Opening, setting up, writing to and closing the port.
#include <iostream>

#include "serial_link.h"

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

namespace {

// The message box keeps its fixed wording; the system's reason goes to
// standard error and is offered as the box's details. Returns the details.
std::string ReportSystemError(const std::string& name, const char* what) {
  const std::string reason =
      name + " (" + PortDevice(name) + "): " + what + ": " + LastSystemError();
  std::cerr << "firmware-downloader: " << reason << '\n';
  return reason;
}

}  // namespace

SerialLink::SerialLink(WindowOps& window, SerialPorts& ports) : window_(window), ports_(ports) {}

void SerialLink::SelectPort(const std::string& name) {
  if (PortOpen()) ClosePort();
  const std::string reason = OpenComPort(name);
  if (!PortOpen()) {
    ShowNoPort();
    window_.MessageBox("ERROR, Can't use comport '" + name + "'.", "", BoxButtons::Ok, reason);
    return;
  }
  window_.SetTimerEnabled(Timer::Timer1, true);
  ComBufPointer = 0;
  window_.SetButtonVisible(Button::Button1, true);
  window_.SetButtonVisible(Button::Button3, true);
  window_.SetStatusText("");
}

std::string SerialLink::OpenComPort(const std::string& name) {
  port_name_ = name;
  port_lost_ = false;
  ComHandle = ports_.Open(name);
  if (!PortOpen()) return ReportSystemError(name, "cannot open");
  if (!ports_.GetState(ComHandle, line_settings_)) {
    window_.MessageBox("ERROR, Can't get commport state.", "", BoxButtons::Ok,
                       ReportSystemError(name, "cannot read the line settings"));
  }
  WriteLineSettings(line_settings_);
  if (!ports_.SetState(ComHandle, line_settings_)) {
    window_.MessageBox("ERROR, Can't set commport state.", "", BoxButtons::Ok,
                       ReportSystemError(name, "cannot set the line settings"));
  }
  // An XOFF left over from before must not hold the first download.
  ResumeOutput();
  return {};
}

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
    if (r.lost) {
      LosePort();
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

void SerialLink::ShowNoPort() {
  window_.SetTimerEnabled(Timer::Timer1, false);
  window_.SetButtonVisible(Button::Button1, false);
  window_.SetButtonVisible(Button::Button3, false);
  window_.SetStatusText("Select Port...");
}

void SerialLink::ClosePort() {
  window_.SetTimerEnabled(Timer::Timer1, false);
  ports_.Close(ComHandle);
  ComHandle = kInvalidPortHandle;
  ShowNoPort();
}

void SerialLink::LosePort() {
  std::cerr << "firmware-downloader: " << port_name_ << " (" << PortDevice(port_name_)
            << "): the device has gone: " << LastSystemError() << '\n';
  port_lost_ = true;
  ClosePort();
}

void SerialLink::Exit1Click() {
  window_.SetTimerEnabled(Timer::Timer1, false);
  if (PortOpen()) {
    ports_.Close(ComHandle);
    ComHandle = kInvalidPortHandle;
  }
  window_.CloseMainWindow();
}

}  // namespace fwdl
