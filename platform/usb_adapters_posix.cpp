// Linux: the USB devices of known serial chips that have no tty, from
// sysfs. The shapes this reads (symlinks resolved):
//   /sys/bus/usb/devices/1-2          the USB device: idVendor, idProduct,
//                                     busnum, devnum; /dev/bus/usb/001/005 is its node
//   /sys/bus/usb/devices/1-2/1-2:1.0  an interface: bInterfaceClass (02 with
//                                     bInterfaceSubClass 02: CDC-ACM), driver
//   .../1-2:1.0/ttyUSB0, .../1-2:1.0/tty/ttyACM0   the tty that a driver made
#include <algorithm>
#include <cstdio>

#include "system_files_posix.h"
#include "usb_adapters.h"

namespace fwdl {
namespace {

using namespace system_files;

// Whether a tty hangs anywhere below the USB device.
bool HasTty(const fs::path& device) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(device, error), end; !error && it != end;
       it.increment(error)) {
    if (it.depth() > 3) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->path().filename().string().rfind("tty", 0) == 0) return true;
  }
  return false;
}

// "/dev/bus/usb/001/005" from the device's bus and device numbers.
std::string UsbNode(const fs::path& device) {
  const std::string bus = FirstLine(device / "busnum"), number = FirstLine(device / "devnum");
  if (bus.empty() || number.empty()) return {};
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(bus.c_str()),
                std::atoi(number.c_str()));
  return node;
}

}  // namespace

std::vector<UsbAdapter> AdaptersWithoutPort(const SystemPlaces& places) {
  const fs::path root = Root(places);
  std::vector<UsbAdapter> found;
  std::error_code error;
  for (fs::directory_iterator it(root / "sys/bus/usb/devices", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    const fs::path device = Resolved(it->path());
    // Interfaces ("1-2:1.0") and root hubs ("usb1") are no adapters.
    if (name.find(':') != std::string::npos || device.empty() || !fs::exists(device / "idVendor")) {
      continue;
    }
    // The serial interface: the CDC-ACM one where there is one, else the first.
    std::vector<fs::path> interfaces;
    std::error_code listing;
    for (fs::directory_iterator child(device, listing), none; !listing && child != none;
         child.increment(listing)) {
      if (child->path().filename().string().rfind(name + ":", 0) == 0) {
        interfaces.push_back(child->path());
      }
    }
    std::sort(interfaces.begin(), interfaces.end());
    const auto acm = std::find_if(interfaces.begin(), interfaces.end(), [](const fs::path& i) {
      return FirstLine(i / "bInterfaceClass") == "02" && FirstLine(i / "bInterfaceSubClass") == "02";
    });
    const bool cdc_acm = acm != interfaces.end();
    const fs::path serial_interface =
        cdc_acm ? *acm : interfaces.empty() ? fs::path() : interfaces.front();
    const std::string vendor = FirstLine(device / "idVendor"), product = FirstLine(device / "idProduct");
    const UsbChip* chip = KnownChip(vendor, product, cdc_acm);
    if (!chip || HasTty(device)) continue;
    UsbAdapter adapter;
    adapter.chip = chip;
    adapter.usb_id = vendor + ":" + product;
    adapter.socket = name;
    if (!serial_interface.empty()) adapter.interface_driver = LinkTarget(serial_interface / "driver");
    adapter.node = UsbNode(device);
    if (!adapter.node.empty()) adapter.holders = HoldersOf(root, adapter.node).holders;
    found.push_back(std::move(adapter));
  }
  std::sort(found.begin(), found.end(),
            [](const UsbAdapter& a, const UsbAdapter& b) { return a.socket < b.socket; });
  return found;
}

}  // namespace fwdl
