// Win32 backend of the serial port operations (CreateFileA and the comm
// API). Synchronous handles only; no time-outs, queue sizes, purges or
// modem-line calls are made, so the port keeps the system's defaults.
#include <windows.h>

#include <cstring>
#include <system_error>

#include "serial_port.h"

namespace fwdl {
namespace {

thread_local DWORD last_error = 0;

HANDLE Handle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

bool Fail() {
  last_error = GetLastError();
  return false;
}

static_assert(sizeof(DCB) <= sizeof(LineSettings::native));

DCB& Native(LineSettings& settings) { return *reinterpret_cast<DCB*>(settings.native.data()); }

}  // namespace

PortHandle SystemSerialPorts::Open(const std::string& name) {
  const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Fail();
    return kInvalidPortHandle;
  }
  return reinterpret_cast<PortHandle>(h);
}

bool SystemSerialPorts::GetState(PortHandle port, LineSettings& settings) {
  DCB dcb = Native(settings);
  // DCBlength must be set before GetCommState.
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(Handle(port), &dcb)) return Fail();
  Native(settings) = dcb;
  settings.BaudRate = dcb.BaudRate;
  settings.ByteSize = dcb.ByteSize;
  settings.Parity = dcb.Parity;
  settings.StopBits = dcb.StopBits;
  settings.fBinary = dcb.fBinary;
  settings.fParity = dcb.fParity;
  settings.fOutxCtsFlow = dcb.fOutxCtsFlow;
  settings.fOutxDsrFlow = dcb.fOutxDsrFlow;
  settings.fDtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  settings.fDsrSensitivity = dcb.fDsrSensitivity;
  settings.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
  settings.fOutX = dcb.fOutX;
  settings.fInX = dcb.fInX;
  settings.fErrorChar = dcb.fErrorChar;
  settings.fNull = dcb.fNull;
  settings.fRtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  settings.fAbortOnError = dcb.fAbortOnError;
  settings.XonLim = dcb.XonLim;
  settings.XoffLim = dcb.XoffLim;
  settings.XonChar = dcb.XonChar;
  settings.XoffChar = dcb.XoffChar;
  settings.ErrorChar = dcb.ErrorChar;
  settings.EofChar = dcb.EofChar;
  settings.EvtChar = dcb.EvtChar;
  return true;
}

bool SystemSerialPorts::SetState(PortHandle port, const LineSettings& s) {
  // DCBlength, the reserved words and the spare flag bits keep what the
  // last successful GetState returned.
  LineSettings record = s;
  DCB dcb = Native(record);
  dcb.BaudRate = s.BaudRate;
  dcb.ByteSize = s.ByteSize;
  dcb.Parity = s.Parity;
  dcb.StopBits = s.StopBits;
  dcb.fBinary = s.fBinary;
  dcb.fParity = s.fParity;
  dcb.fOutxCtsFlow = s.fOutxCtsFlow;
  dcb.fOutxDsrFlow = s.fOutxDsrFlow;
  dcb.fDtrControl = s.fDtrControl;
  dcb.fDsrSensitivity = s.fDsrSensitivity;
  dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
  dcb.fOutX = s.fOutX;
  dcb.fInX = s.fInX;
  dcb.fErrorChar = s.fErrorChar;
  dcb.fNull = s.fNull;
  dcb.fRtsControl = s.fRtsControl;
  dcb.fAbortOnError = s.fAbortOnError;
  dcb.XonLim = s.XonLim;
  dcb.XoffLim = s.XoffLim;
  dcb.XonChar = s.XonChar;
  dcb.XoffChar = s.XoffChar;
  dcb.ErrorChar = s.ErrorChar;
  dcb.EofChar = s.EofChar;
  dcb.EvtChar = s.EvtChar;
  if (!SetCommState(Handle(port), &dcb)) return Fail();
  return true;
}

std::uint32_t SystemSerialPorts::WaitingCount(PortHandle port) {
  // Also clears a line error, so that reception goes on after one. When the
  // call fails the record stays zero: nothing is waiting.
  COMSTAT stat{};
  DWORD errors = 0;
  if (!ClearCommError(Handle(port), &errors, &stat)) Fail();
  return stat.cbInQue;
}

std::uint32_t SystemSerialPorts::Read(PortHandle port, void* data, std::uint32_t count) {
  // Asks only for bytes that are already waiting, so it returns at once.
  DWORD read = 0;
  if (!ReadFile(Handle(port), data, count, &read, nullptr)) Fail();
  return read;
}

std::uint32_t SystemSerialPorts::Write(PortHandle port, const void* data, std::uint32_t count) {
  // No write time-out is set: the call waits while the instrument holds the
  // line with XOFF.
  DWORD written = 0;
  if (!WriteFile(Handle(port), data, count, &written, nullptr)) Fail();
  return written;
}

void SystemSerialPorts::Close(PortHandle port) { (void)CloseHandle(Handle(port)); }

std::string PortDevice(const std::string& name) { return name; }

std::string LastSystemError() {
  return std::system_category().message(static_cast<int>(last_error));
}

}  // namespace fwdl
