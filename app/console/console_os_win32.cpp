// Win32 side of the console front end: Ctrl-C arrives on a thread of its
// own and sets an event that the waits include; the ports present come
// from SetupAPI, as the Device Manager shows them, and from the registry's
// SERIALCOMM list.
#include <windows.h>
#include <cfgmgr32.h>
#include <conio.h>
#include <devguid.h>
#include <io.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "console_os.h"
#include "port_ids.h"

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


// Text for the console in its code page (a friendly name may be localised:
// "Périphérique série USB"), for a file or a pipe in the ANSI one.
std::string Narrow(const wchar_t* text) {
  DWORD mode = 0;
  const UINT code_page =
      GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? GetConsoleOutputCP() : CP_ACP;
  const int size = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text, -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();  // the terminating NUL
  return narrow;
}

// A string property of the device, "" if it has none; a list of strings
// (REG_MULTI_SZ) comes NUL-separated.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t value[1024] = L"";
  DWORD type = 0;
  // Room for two closing NULs, whatever the driver wrote.
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(value), sizeof value - 4,
                                         nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return {};
  }
  std::string text;
  for (const wchar_t* part = value; *part; part += wcslen(part) + 1) {
    text += Narrow(part);
    text += '\0';
  }
  if (type == REG_SZ && !text.empty()) text.pop_back();
  return text;
}

std::string DeviceId(DEVINST instance) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = L"";
  if (CM_Get_Device_IDW(instance, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return Narrow(id);
}

// "COM3" from the device's own key, where the port driver keeps its name;
// "" for a device that has none (LPT1 is no COM port either).
std::string ComName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[32] = L"";
  DWORD size = sizeof name - sizeof(wchar_t), type = 0;
  const bool read = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!read || type != REG_SZ) return {};
  const std::string com = Narrow(name);
  return com.size() > 3 && com.compare(0, 3, "COM") == 0 ? com : std::string();
}

// The ports that the Device Manager lists: the present devices of the
// Ports class, and those that offer the COM port interface without being
// in it (some modems and virtual ports).
std::vector<PortInfo> DevicePorts() {
  // GUID_DEVINTERFACE_COMPORT; its header, ntddser.h, is one for drivers.
  static const GUID kComPortInterface = {
      0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
  const std::pair<const GUID*, DWORD> sets[] = {
      {&GUID_DEVCLASS_PORTS, DIGCF_PRESENT},
      {&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
  std::vector<PortInfo> ports;
  for (const auto& [guid, flags] : sets) {
    const HDEVINFO set = SetupDiGetClassDevsW(guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      const std::string com = ComName(set, device);
      if (com.empty()) continue;
      std::string name = DeviceProperty(set, device, SPDRP_FRIENDLYNAME);
      if (name.empty()) name = DeviceProperty(set, device, SPDRP_DEVICEDESC);
      DEVINST parent = 0;
      const std::string parent_id =
          CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS ? DeviceId(parent) : "";
      const DeviceIds ids =
          ReadDeviceIds(SplitMultiString(DeviceProperty(set, device, SPDRP_HARDWAREID)),
                        DeviceId(device.DevInst), parent_id);
      ports.push_back({com, DescribeDevice(name, ids)});
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  return ports;
}

// The registry's list of serial ports: "COM3" with its NT device name. It
// also holds ports that SetupAPI does not list (those of a driver without
// a device node, such as Wine's).
std::vector<PortInfo> RegisteredPorts() {
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

std::vector<PortInfo> ListPorts() { return MergePorts(DevicePorts(), RegisteredPorts()); }

}  // namespace fwdl::console
