#include "setupapi_win32.h"

#include <initguid.h>
#include <devpkey.h>
#include <cfgmgr32.h>

#include <cwchar>

namespace fwdl::setupapi {
namespace {

// The first string of a DEVPROP_TYPE_STRING_LIST property; "" for none.
std::string FirstOfList(HDEVINFO set, SP_DEVINFO_DATA& device, const DEVPROPKEY& key) {
  wchar_t value[1024] = L"";
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(set, &device, &key, &type, reinterpret_cast<BYTE*>(value),
                                 sizeof value - 4, nullptr, 0) ||
      (type != DEVPROP_TYPE_STRING_LIST && type != DEVPROP_TYPE_STRING)) {
    return {};
  }
  value[1023] = L'\0';
  return Narrow(value);
}

}  // namespace

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

unsigned ProblemCode(HDEVINFO set, SP_DEVINFO_DATA& device) {
  ULONG code = 0;
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(set, &device, &DEVPKEY_Device_ProblemCode, &type,
                                 reinterpret_cast<BYTE*>(&code), sizeof code, nullptr, 0) ||
      type != DEVPROP_TYPE_UINT32) {
    return 0;
  }
  return code;
}

std::string LocationPath(HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::string path = FirstOfList(set, device, DEVPKEY_Device_LocationPaths);
  DEVINST node = device.DevInst;
  for (int up = 0; path.empty() && up < 2 && CM_Get_Parent(&node, node, 0) == CR_SUCCESS; ++up) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = L"";
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) break;
    const HDEVINFO parents = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (parents == INVALID_HANDLE_VALUE) break;
    SP_DEVINFO_DATA parent{};
    parent.cbSize = sizeof parent;
    if (SetupDiOpenDeviceInfoW(parents, id, nullptr, 0, &parent)) {
      path = FirstOfList(parents, parent, DEVPKEY_Device_LocationPaths);
    }
    SetupDiDestroyDeviceInfoList(parents);
  }
  return path;
}

}  // namespace fwdl::setupapi
