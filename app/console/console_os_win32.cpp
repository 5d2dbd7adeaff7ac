// Win32 side of the console front end: Ctrl-C arrives on a thread of its
// own and sets an event that the waits include; the ports present come
// from the registry's SERIALCOMM list.
#include <windows.h>
#include <conio.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "console_os.h"

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

std::vector<PortInfo> ListPorts() {
  std::vector<PortInfo> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    char name[256], value[256];
    DWORD name_size = sizeof name, value_size = sizeof value, type = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type,
                      reinterpret_cast<BYTE*>(value), &value_size) != ERROR_SUCCESS) {
      break;
    }
    if (type != REG_SZ) continue;
    value[value_size < sizeof value ? value_size : sizeof value - 1] = '\0';
    ports.push_back({value, name});  // "COM3", "\Device\Serial0"
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace fwdl::console
