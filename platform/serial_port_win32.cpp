// Win32 backend of the serial port operations (CreateFileA and the comm
// API). Synchronous handles only. The one thing set besides the line is
// the time-outs: reads return at once with what is waiting, and a write
// returns after a bounded time with what the driver took, so that a line
// held by XOFF never freezes the window. No queue sizes, purges or
// modem-line calls are made.
#include <windows.h>
#include <mmsystem.h>

#include <chrono>
#include <memory>
#include <string>

#include "port_remedy.h"
#include "raw_port.h"
#include "serial_port.h"
#include "setup_calls.h"

namespace fwdl {
namespace {

using Kind = PortError::Kind;

// The system's own words for an error code, without the line end that
// FormatMessage leaves at the end.
std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text ? std::string(text, length) : "";
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "system error " + std::to_string(code);
  return message;
}

PortError Error(Kind kind, DWORD code) { return {kind, SystemMessage(code)}; }

// Why CreateFileA refused the port. Windows' serial drivers answer "access
// denied" for a port that another program holds.
PortError OpenError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST: return Error(Kind::kNoSuchDevice, code);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return Error(Kind::kBusy, code);
    default: return Error(Kind::kOther, code);
  }
}

// The errors of a device that has gone (an unplugged USB adapter). Any of
// them makes every later call on the handle fail too.
PortError IoError(DWORD code) {
  switch (code) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_OPERATION_ABORTED: return Error(Kind::kGone, code);
    default: return Error(Kind::kOther, code);
  }
}

// One call that opens or sets up a port: `call` made, true when it did
// what it should; false with the last error set when it failed, or when a
// test's fake failed it in its place (setup_calls.h).
template <typename Call>
bool Made(const char* name, Call call) {
  if (const int code = SetupCallFault(name)) {
    SetLastError(static_cast<DWORD>(code));
    return false;
  }
  return call();
}

// Reads return at once with what is waiting; a write returns after
// `write_ms` with what the driver took.
bool SetPortTimeouts(HANDLE h, DWORD write_ms) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = write_ms;
  return SetCommTimeouts(h, &t) != 0;
}

// The write time-out that a port opens with.
constexpr DWORD kFirstWriteMs = 1;

static_assert(sizeof(DCB) <= sizeof(LineSettings::native));

DCB& Native(LineSettings& settings) { return *reinterpret_cast<DCB*>(settings.native.data()); }

// One open port, its time-outs set. Reads return at once with the bytes
// already waiting; a write waits for the driver at most until the time it
// is given. The time-outs are set again only when that wait changes, so
// that writing costs one call.
class Win32Port final : public NativePort {
 public:
  explicit Win32Port(HANDLE h) : h_(h) {}
  ~Win32Port() override {
    if (fine_timer_) timeEndPeriod(1);
    (void)CloseHandle(h_);
  }
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  PortResult Waiting() override {
    // Also clears a line error, so that reception goes on after one. When
    // the call fails the record stays zero: nothing is waiting.
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(h_, &errors, &stat)) return {0, IoError(GetLastError())};
    return {stat.cbInQue, {}};
  }

  PortResult Read(void* data, std::uint32_t count) override {
    // Asks only for bytes that are already waiting, so it returns at once.
    DWORD read = 0;
    if (!ReadFile(h_, data, count, &read, nullptr)) return {read, IoError(GetLastError())};
    return {read, {}};
  }

  PortResult Write(const void* data, std::uint32_t count, Clock::time_point until) override {
    // A write time-out of 0 would mean none at all: one millisecond at least.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (!SetTimeouts(static_cast<DWORD>(ms > 1 ? ms : 1))) return {0, IoError(GetLastError())};
    // A write time-out ends the call with the bytes the driver took so far.
    // Any other failure leaves the port unusable: reported as lost, so that
    // the caller never retries a write that fails at once.
    DWORD written = 0;
    if (!WriteFile(h_, data, count, &written, nullptr)) {
      const DWORD code = GetLastError();
      const bool timed_out = code == ERROR_SEM_TIMEOUT || code == ERROR_TIMEOUT ||
                             code == ERROR_COUNTER_TIMEOUT || code == WAIT_TIMEOUT;
      if (timed_out) return {written, {}};
      return {written, IoError(code)};
    }
    return {written, {}};
  }

  std::uint32_t OutputQueued() override {
    COMSTAT stat{};
    DWORD errors = 0;
    return ClearCommError(h_, &errors, &stat) ? stat.cbOutQue : 0;
  }

  PortError WaitForInput(Clock::time_point until) override {
    // A synchronous handle has no wait for input that ends in time; a
    // millisecond's sleep, and the caller looks again.
    if (until > Clock::now()) Sleep(1);
    return {};
  }

  PortError GetState(LineSettings& settings) override;
  PortError SetState(const LineSettings& settings, bool driver_keeps_flow) override;

  void ResumeOutput() override {
    // As if the other side had sent XON.
    (void)EscapeCommFunction(h_, SETXON);
  }

 private:
  bool SetTimeouts(DWORD write_ms) {
    if (write_ms == write_ms_) return true;
    if (!SetPortTimeouts(h_, write_ms)) return false;
    write_ms_ = write_ms;
    return true;
  }

  const HANDLE h_;
  DWORD write_ms_ = kFirstWriteMs;  // the write time-out set
  bool fine_timer_ = false;  // timeBeginPeriod(1) is ours to end
};

PortError Win32Port::GetState(LineSettings& settings) {
  DCB dcb = Native(settings);
  // DCBlength must be set before GetCommState.
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(h_, &dcb)) return IoError(GetLastError());
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
  return {};
}

PortError Win32Port::SetState(const LineSettings& s, bool driver_keeps_flow) {
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
  // Where the program keeps XON/XOFF, the driver hands both up with the data.
  dcb.fOutX = s.fOutX && driver_keeps_flow;
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
  if (!SetCommState(h_, &dcb)) return IoError(GetLastError());
  // The flow writer looks at the input every millisecond while it writes;
  // Windows' sleeps are that fine only on request.
  if (!driver_keeps_flow && !fine_timer_) fine_timer_ = timeBeginPeriod(1) == TIMERR_NOERROR;
  return {};
}

}  // namespace

std::unique_ptr<NativePort> OpenNativePort(const std::string& name, const SystemPlaces& places,
                                           PortError& error, SerialDevice& device) {
  HANDLE h = INVALID_HANDLE_VALUE;
  auto refuse = [&](DWORD code) {
    if (h != INVALID_HANDLE_VALUE) (void)CloseHandle(h);
    error = OpenError(code);
    error.remedy = PortRemedy(error.kind, name, places);
    return nullptr;
  };
  if (!Made("CreateFileA", [&] {
        h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
        return h != INVALID_HANDLE_VALUE;
      })) {
    return refuse(GetLastError());
  }
  // A port whose time-outs are not set would block the window on a read.
  if (!Made("SetCommTimeouts", [&] { return SetPortTimeouts(h, kFirstWriteMs); })) {
    return refuse(GetLastError());
  }
  device = DescribeDevice(name, places);
  return std::make_unique<Win32Port>(h);
}

// A window program gets no termination signals; closing the window is its
// way out.
void ReleasePortOnTermination() {}

}  // namespace fwdl
