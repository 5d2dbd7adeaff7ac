// Windows: a COM name is its own device. What stands behind it comes from
// SetupAPI, as the Device Manager shows it, and from the registry's list
// of serial ports; its driver tells who keeps XON/XOFF (windows_ports.h).
#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <utility>

#include "serial_devices.h"
#include "setupapi_win32.h"
#include "windows_ports.h"

namespace fwdl {
namespace {

using namespace setupapi;

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
      port.location = LocationPath(set, device);
      port.problem = ProblemCode(set, device);
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

}  // namespace

std::vector<WindowsPort> WindowsPortsPresent() { return MergePorts(DevicePorts(), RegisteredPorts()); }

std::vector<SerialDevice> SerialDevicesPresent(const SystemPlaces&) {
  std::vector<SerialDevice> devices;
  for (const WindowsPort& port : WindowsPortsPresent()) devices.push_back(DescribeWindowsPort(port));
  return devices;
}

SerialDevice DescribeDevice(const std::string& path, const SystemPlaces&) {
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

std::string PortDevice(const std::string& name, const SystemPlaces&) { return name; }

std::string DescribePort(const std::string& name, const SystemPlaces& places) {
  return name + ": " + AdapterSummary(DescribeDevice(name, places));
}

}  // namespace fwdl
