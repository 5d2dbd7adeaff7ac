// Win32 side of the console front end: Ctrl-C arrives on a thread of its
// own and sets an event that the waits include; the ports present are
// those that the platform finds (SetupAPI and the registry).
#include <windows.h>
#include <bcrypt.h>
#include <conio.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "console_os.h"
#include "platform/windows_ports.h"

namespace fwdl::console {
namespace {

std::atomic<int> interrupts{0};

HANDLE WakeEvent() {
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (interrupts++ > 0) ExitProcess(130);  // the second Ctrl-C; the system closes the port
  SetEvent(WakeEvent());
  return TRUE;
}

HANDLE Input() { return GetStdHandle(STD_INPUT_HANDLE); }

bool InputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(Input(), &mode) != 0;
}


}  // namespace

void CatchInterrupts() {
  (void)WakeEvent();
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted() { return interrupts > 0; }

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void Sleep(int ms, bool watch_input) {
  // An interrupt that no Sleep has returned for yet ends this one at once;
  // after that, sleeping goes on as before (the window has handled it).
  static int interrupts_seen = 0;
  if (interrupts > interrupts_seen) {
    interrupts_seen = interrupts;
    ResetEvent(WakeEvent());
    return;
  }
  DWORD timeout = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
  HANDLE handles[2] = {WakeEvent(), Input()};
  DWORD count = 1;
  if (watch_input && InputIsConsole()) {
    count = 2;
  } else if (watch_input && timeout > 20) {
    timeout = 20;  // a pipe or a file cannot be waited on: look again soon
  }
  (void)WaitForMultipleObjects(count, handles, FALSE, timeout);
}

bool ReadInput(std::string& text) {
  char buffer[256];
  DWORD got = 0;
  if (InputIsConsole()) {
    // Typed keys, echoed as a line editor would; _kbhit drops the console's
    // other events (mouse, focus).
    while (_kbhit()) {
      const int c = _getch();
      const char typed = c == '\r' ? '\n' : static_cast<char>(c);
      std::putchar(typed);
      std::fflush(stdout);
      text += typed;
    }
    return true;
  }
  if (GetFileType(Input()) == FILE_TYPE_PIPE) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(Input(), nullptr, 0, nullptr, &waiting, nullptr)) return false;  // closed
    if (waiting == 0) return true;
    if (waiting > sizeof buffer) waiting = sizeof buffer;
    if (!ReadFile(Input(), buffer, waiting, &got, nullptr)) return false;
  } else if (!ReadFile(Input(), buffer, sizeof buffer, &got, nullptr) || got == 0) {
    return false;  // a file, read to its end
  }
  text.append(buffer, got);
  return true;
}

std::string PortName(const std::string& argument) {
  // CreateFileA knows COM1..COM9 by name; higher ones only in the device
  // namespace.
  if (argument.size() > 4 && argument.compare(0, 3, "COM") == 0) return "\\\\.\\" + argument;
  return argument;
}

std::vector<PortInfo> ListPorts(const SystemPlaces&) {
  std::vector<PortInfo> list;
  for (const WindowsPort& port : WindowsPortsPresent()) {
    list.push_back({port.com, PortLine(port), DescribeWindowsPort(port), {port.com}, PortProblem(port)});
  }
  return list;
}

bool RandomBytes(unsigned char* out, std::size_t count) {
  return BCryptGenRandom(nullptr, out, static_cast<ULONG>(count),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;  // an NTSTATUS: >= 0 succeeded
}

}  // namespace fwdl::console
