// Windows: a COM name is its own device. What stands behind it comes from
// SetupAPI, as the Device Manager shows it, and from the registry's list
// of serial ports; its driver tells who keeps XON/XOFF (windows_ports.h).
#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cwchar>
#include <utility>

#include "serial_devices.h"
#include "windows_ports.h"

namespace fwdl {
namespace {

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
std::vector<WindowsPort> DevicePorts() {
  // GUID_DEVINTERFACE_COMPORT; its header, ntddser.h, is one for drivers.
  static const GUID kComPortInterface = {
      0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
  const std::pair<const GUID*, DWORD> sets[] = {
      {&GUID_DEVCLASS_PORTS, DIGCF_PRESENT},
      {&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
  std::vector<WindowsPort> ports;
  for (const auto& [guid, flags] : sets) {
    const HDEVINFO set = SetupDiGetClassDevsW(guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      WindowsPort port;
      port.com = ComName(set, device);
      if (port.com.empty()) continue;
      port.name = DeviceProperty(set, device, SPDRP_FRIENDLYNAME);
      if (port.name.empty()) port.name = DeviceProperty(set, device, SPDRP_DEVICEDESC);
      port.service = DeviceProperty(set, device, SPDRP_SERVICE);
      port.hardware_ids = SplitMultiString(DeviceProperty(set, device, SPDRP_HARDWAREID));
      port.instance_id = DeviceId(device.DevInst);
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) port.parent_id = DeviceId(parent);
      ports.push_back(std::move(port));
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  return ports;
}

// The registry's list of serial ports: "COM3" with its NT device name. It
// also holds ports that SetupAPI does not list (those of a driver without
// a device node, such as Wine's).
std::vector<WindowsPort> RegisteredPorts() {
  std::vector<WindowsPort> ports;
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
    WindowsPort port;
    port.com = value;  // "COM3"
    port.name = name;  // "\Device\Serial0"
    ports.push_back(std::move(port));
  }
  RegCloseKey(key);
  return ports;
}

// "COM10" from "\\.\COM10", the form CreateFileA needs above COM9.
std::string ComOf(const std::string& name) {
  return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

}  // namespace

std::vector<WindowsPort> WindowsPortsPresent() { return MergePorts(DevicePorts(), RegisteredPorts()); }

std::vector<SerialDevice> SerialDevicesPresent() {
  std::vector<SerialDevice> devices;
  for (const WindowsPort& port : WindowsPortsPresent()) devices.push_back(DescribeWindowsPort(port));
  return devices;
}

SerialDevice DescribeDevice(const std::string& path) {
  const std::string com = ComOf(path);
  for (const WindowsPort& port : WindowsPortsPresent()) {
    if (_stricmp(port.com.c_str(), com.c_str()) == 0) return DescribeWindowsPort(port);
  }
  // Nothing known of it: the program keeps XON/XOFF, which holds on any driver.
  SerialDevice unknown;
  unknown.device = path;
  unknown.flow = WindowsFlowMode("", "");
  return unknown;
}

std::string PortDevice(const std::string& name) { return name; }

std::string DescribePort(const std::string& name) { return name + ": " + AdapterSummary(DescribeDevice(name)); }

}  // namespace fwdl
