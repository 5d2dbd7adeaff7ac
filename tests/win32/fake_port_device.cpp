// Adds a device to the Ports class as the driver of a USB serial adapter
// would leave it (instance ID, hardware IDs, friendly name, and the
// "PortName" in its own key), and takes it away again, so that the tests
// under Wine see `fwdl ports` read SetupAPI as on Windows. Wine lists no
// devices of its own in that class.
//   fake_port_device add INSTANCE_ID COMn|- FRIENDLY_NAME [service=NAME] [problem=CODE]
//                        [location=PATH] HARDWARE_ID...
//   fake_port_device remove INSTANCE_ID
// "-" for the COM name: a USB device with no port, as one whose driver is
// not installed is left (no class of its own, here the USB class). A
// problem code and a location path go in as the device properties that
// Windows itself computes (DEVPKEY_Device_ProblemCode, ..._LocationPaths);
// Wine stores what it is given.
// Exit status 0 when done; 1 with the step that failed on standard error.
#include <windows.h>
#include <initguid.h>
#include <devpkey.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Windows has it from Vista on; MinGW's setupapi.h leaves it out.
extern "C" WINSETUPAPI WINBOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA,
                                                                const DEVPROPKEY*, DEVPROPTYPE,
                                                                const BYTE*, DWORD, DWORD);

namespace {

std::wstring Wide(const char* text) {
  std::wstring wide;
  for (const char* c = text; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  return wide;
}

int Fail(const char* step) {
  std::fprintf(stderr, "fake_port_device: %s failed (error %lu)\n", step, GetLastError());
  return 1;
}

bool SetString(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, const std::wstring& text) {
  // A REG_MULTI_SZ ends with an empty string; one more NUL does a REG_SZ no harm.
  const std::wstring value = text + L'\0';
  return SetupDiSetDeviceRegistryPropertyW(set, &device, property,
                                           reinterpret_cast<const BYTE*>(value.c_str()),
                                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

int Add(HDEVINFO set, SP_DEVINFO_DATA& device, int argc, char** argv) {
  const std::wstring id = Wide(argv[2]), com = Wide(argv[3]), name = Wide(argv[4]);
  const bool port = com != L"-";
  if (!SetupDiCreateDeviceInfoW(set, id.c_str(), port ? &GUID_DEVCLASS_PORTS : &GUID_DEVCLASS_USB,
                                nullptr, nullptr, 0, &device)) {
    return Fail("SetupDiCreateDeviceInfo");
  }
  std::wstring hardware_ids, service, location;
  ULONG problem = 0;
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("service=", 0) == 0) {
      service = Wide(argv[i] + 8);
    } else if (arg.rfind("problem=", 0) == 0) {
      problem = std::strtoul(argv[i] + 8, nullptr, 10);
    } else if (arg.rfind("location=", 0) == 0) {
      location = Wide(argv[i] + 9) + L'\0';
    } else {
      hardware_ids += Wide(argv[i]) + L'\0';
    }
  }
  if (!service.empty() && !SetString(set, device, SPDRP_SERVICE, service)) {
    return Fail("SetupDiSetDeviceRegistryProperty SPDRP_SERVICE");
  }
  if (!SetString(set, device, SPDRP_HARDWAREID, hardware_ids) ||
      !SetString(set, device, SPDRP_FRIENDLYNAME, name)) {
    return Fail("SetupDiSetDeviceRegistryProperty");
  }
  if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) {
    return Fail("SetupDiRegisterDeviceInfo");
  }
  if (problem != 0 &&
      !SetupDiSetDevicePropertyW(set, &device, &DEVPKEY_Device_ProblemCode, DEVPROP_TYPE_UINT32,
                                 reinterpret_cast<const BYTE*>(&problem), sizeof problem, 0)) {
    return Fail("SetupDiSetDeviceProperty DEVPKEY_Device_ProblemCode");
  }
  location += L'\0';  // the list's closing empty string
  if (location.size() > 1 &&
      !SetupDiSetDevicePropertyW(set, &device, &DEVPKEY_Device_LocationPaths,
                                 DEVPROP_TYPE_STRING_LIST,
                                 reinterpret_cast<const BYTE*>(location.c_str()),
                                 static_cast<DWORD>(location.size() * sizeof(wchar_t)), 0)) {
    return Fail("SetupDiSetDeviceProperty DEVPKEY_Device_LocationPaths");
  }
  if (!port) return 0;
  const HKEY key =
      SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  if (key == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDevRegKey");
  const LONG written = RegSetValueExW(key, L"PortName", 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(com.c_str()),
                                      static_cast<DWORD>((com.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return written == ERROR_SUCCESS ? 0 : Fail("RegSetValueEx PortName");
}

int Remove(HDEVINFO set, SP_DEVINFO_DATA& device, const char* instance_id) {
  if (!SetupDiOpenDeviceInfoW(set, Wide(instance_id).c_str(), nullptr, 0, &device)) {
    return Fail("SetupDiOpenDeviceInfo");
  }
  return SetupDiRemoveDevice(set, &device) ? 0 : Fail("SetupDiRemoveDevice");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 2 ? argv[1] : "";
  if (!((command == "add" && argc >= 6) || (command == "remove" && argc == 3))) {
    std::fprintf(stderr,
                 "usage: fake_port_device add INSTANCE_ID COMn|- FRIENDLY_NAME [service=NAME] "
                 "[problem=CODE] [location=PATH] HARDWARE_ID...\n"
                 "       fake_port_device remove INSTANCE_ID\n");
    return 2;
  }
  // No class of its own: it holds devices of the Ports class and of others.
  const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  const int status = command == "add" ? Add(set, device, argc, argv) : Remove(set, device, argv[2]);
  SetupDiDestroyDeviceInfoList(set);
  return status;
}
