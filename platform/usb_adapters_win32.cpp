// Windows: the USB devices of known serial chips whose device node has a
// problem and that give no COM port, from SetupAPI: the devices of the
// "USB" and "FTDIBUS" enumerators of every class. A device without its
// driver is in no Ports class, so the Ports class alone would miss it.
#include <utility>

#include "setupapi_win32.h"
#include "usb_adapters.h"
#include "windows_ports.h"

namespace fwdl {

using namespace setupapi;

std::vector<UsbAdapter> AdaptersWithoutPort(const SystemPlaces&) {
  std::vector<UsbAdapter> found;
  for (const wchar_t* enumerator : {L"USB", L"FTDIBUS"}) {
    const HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      const unsigned problem = ProblemCode(set, device);
      // A port with a problem is listed as a port, with its problem.
      if (problem == 0 || !ComName(set, device).empty()) continue;
      const DeviceIds ids = ReadDeviceIds(
          SplitMultiString(DeviceProperty(set, device, SPDRP_HARDWAREID)), DeviceId(device.DevInst), "");
      bool cdc_acm = false;
      for (const std::string& id : SplitMultiString(DeviceProperty(set, device, SPDRP_COMPATIBLEIDS))) {
        cdc_acm |= id.find("Class_02&SubClass_02") != std::string::npos;
      }
      const UsbChip* chip = KnownChip(ids.vendor, ids.product, cdc_acm);
      if (!chip) continue;
      UsbAdapter adapter;
      adapter.chip = chip;
      adapter.usb_id = ids.vendor + ":" + ids.product;
      adapter.socket = LocationPath(set, device);
      adapter.name = DeviceProperty(set, device, SPDRP_FRIENDLYNAME);
      if (adapter.name.empty()) adapter.name = DeviceProperty(set, device, SPDRP_DEVICEDESC);
      adapter.problem = problem;
      found.push_back(std::move(adapter));
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  return found;
}

}  // namespace fwdl
