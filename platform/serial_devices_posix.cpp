// Linux: the serial devices from sysfs and /dev.
//
// The shapes this reads (symlinks resolved):
//   /sys/class/tty/ttyS0/device      -> .../00:01/00:01:0/00:01:0.0 on the
//       serial-base bus (kernels from 6.5; its driver is "port"), below the
//       UART's own device (driver "serial", "serial8250"); before 6.5 the
//       UART's device itself. A serial-core tty has a `type` file: 0 means
//       no UART behind the node.
//   /sys/class/tty/ttyUSB0/device    -> .../usb1/1-2/1-2:1.0/ttyUSB0 on the
//       usb-serial bus (driver "ch341-uart"), below the USB interface
//       1-2:1.0 (driver "ch341"), below the USB device 1-2 (idVendor, ...)
//   /sys/class/tty/ttyACM0/device    -> .../usb1/1-3/1-3:1.0, the interface
//       (driver "cdc_acm")
//   a pseudo-terminal has no entry there.
#include <algorithm>
#include <filesystem>
#include <tuple>

#include "serial_devices.h"
#include "system_files_posix.h"

namespace fwdl {
namespace {

namespace fs = std::filesystem;

using namespace system_files;

// A number of up to six digits.
bool Number(const std::string& digits, int& value) {
  if (digits.empty() || digits.size() > 6 ||
      digits.find_first_not_of("0123456789") != digits.npos) {
    return false;
  }
  value = std::stoi(digits);
  return true;
}

// The place of a USB interface, from its name: "1-1.4:1.0" is bus 1, ports
// 1 and 4, configuration 1, interface 0, and becomes {1, 1, 4, -1, 0}; the
// -1 ends the chain, so that 1-1 comes before 1-1.4. Empty for any other name.
std::vector<int> UsbPlace(const std::string& name) {
  const auto dash = name.find('-'), colon = name.find(':');
  if (dash == std::string::npos || colon == std::string::npos || colon < dash) return {};
  std::vector<int> place(1);
  if (!Number(name.substr(0, dash), place[0])) return {};
  const std::string chain = name.substr(dash + 1, colon - dash - 1) + ".";
  for (std::size_t start = 0, dot; (dot = chain.find('.', start)) != chain.npos; start = dot + 1) {
    if (!Number(chain.substr(start, dot - start), place.emplace_back())) return {};
  }
  const std::string config_interface = name.substr(colon + 1);
  const auto point = config_interface.find('.');
  int config = 0, interface = 0;
  if (point == std::string::npos || !Number(config_interface.substr(0, point), config) ||
      !Number(config_interface.substr(point + 1), interface)) {
    return {};
  }
  place.push_back(-1);
  place.push_back(interface);
  return place;
}

// The facts of one tty below `root`; `real` is its resolved node. Fills
// `usb_place` for one on USB.
SerialDevice Describe(const fs::path& root, const fs::path& real, std::vector<int>* usb_place) {
  SerialDevice d;
  d.device = Outside(root, real);
  const fs::path sys = root / "sys/class/tty" / real.filename();
  const fs::path dev = Resolved(sys / "device");
  if (!dev.empty()) {
    const std::string subsystem = LinkTarget(dev / "subsystem");
    fs::path driver_of = dev;
    if (subsystem == "usb-serial") {
      d.attachment = Attachment::kUsbSerial;
      driver_of = dev.parent_path();  // the interface: "ch341", not "ch341-uart"
    } else if (subsystem == "usb") {
      d.attachment = Attachment::kUsb;
    } else if (subsystem == "serial-base") {
      d.attachment = Attachment::kSerialCore;
      while (driver_of.has_relative_path() &&
             LinkTarget(driver_of / "subsystem") == "serial-base") {
        driver_of = driver_of.parent_path();
      }
    } else {
      d.attachment = fs::exists(sys / "type") ? Attachment::kSerialCore : Attachment::kOther;
    }
    d.driver = LinkTarget(driver_of / "driver");
    if (d.driver.empty()) d.driver = LinkTarget(dev / "driver");
    for (fs::path p = dev; p.has_relative_path() && p != root; p = p.parent_path()) {
      const std::string name = p.filename().string();
      if (std::vector<int> place = UsbPlace(name); d.usb_port.empty() && !place.empty()) {
        d.usb_port = name.substr(0, name.find(':'));
        d.usb_interface = name;
        if (usb_place) *usb_place = std::move(place);
      }
      if (!fs::exists(p / "idVendor")) continue;
      d.usb_id = FirstLine(p / "idVendor") + ":" + FirstLine(p / "idProduct");
      d.serial = FirstLine(p / "serial");
      d.manufacturer = FirstLine(p / "manufacturer");
      d.product = FirstLine(p / "product");
      break;
    }
  }
  std::error_code error;
  for (const auto& link : fs::directory_iterator(root / "dev/serial/by-id", error)) {
    if (Resolved(link.path()) == real) {
      d.by_id.push_back("/dev/serial/by-id/" + link.path().filename().string());
    }
  }
  std::sort(d.by_id.begin(), d.by_id.end());
  d.flow = FlowModeFor(d.attachment, d.driver);
  return d;
}

// "ttyS10" -> {"ttyS", 10}, so that ttyS2 comes before ttyS10.
std::pair<std::string, long> NameKey(const std::string& name) {
  const auto digits = name.find_last_not_of("0123456789") + 1;
  const std::string number = name.substr(digits, 9);
  return {name.substr(0, digits), number.empty() ? -1 : std::stol(number)};
}

// "COM3" -> 3; 0 for any other name.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0 || name[3] == '0' ||
      name.find_first_not_of("0123456789", 3) != std::string::npos) {
    return 0;
  }
  return std::stoi(name.substr(3));
}

}  // namespace

std::vector<SerialDevice> SerialDevicesPresent(const SystemPlaces& places) {
  const fs::path root = Root(places);
  struct Found {
    bool usb;
    std::vector<int> usb_place;
    std::pair<std::string, long> name_key;
    SerialDevice device;
  };
  std::vector<Found> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
    const fs::path sys = entry.path();
    const std::string name = sys.filename().string();
    // Virtual consoles and the like have no device; the 8250 driver makes
    // nodes for UARTs that are not there, with type 0.
    if (!fs::exists(sys / "device")) continue;
    if (fs::exists(sys / "type") && FirstLine(sys / "type") == "0") continue;
    const fs::path node = Resolved(root / "dev" / name);
    if (node.empty()) continue;
    Found f{false, {}, NameKey(name), {}};
    f.device = Describe(root, node, &f.usb_place);
    f.usb = !f.usb_place.empty();
    found.push_back(std::move(f));
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.usb, a.usb_place, a.name_key) < std::tie(b.usb, b.usb_place, b.name_key);
  });
  std::vector<SerialDevice> devices;
  for (Found& f : found) devices.push_back(std::move(f.device));
  return devices;
}

SerialDevice DescribeDevice(const std::string& path, const SystemPlaces& places) {
  const fs::path root = Root(places);
  const fs::path real = Resolved(Under(root, path));
  if (real.empty()) {
    SerialDevice nowhere;
    nowhere.device = path;
    return nowhere;
  }
  return Describe(root, real, nullptr);
}

std::string PortDevice(const std::string& name, const SystemPlaces& places) {
  const int n = ComNumber(name);
  if (n == 0) return name;
  if (const auto named = places.com.find(n); named != places.com.end() && !named->second.empty()) {
    return named->second;
  }
  const std::vector<SerialDevice> devices = SerialDevicesPresent(places);
  return static_cast<std::size_t>(n) <= devices.size() ? devices[n - 1].device : "";
}

std::string DescribePort(const std::string& name, const SystemPlaces& places) {
  const std::string device = PortDevice(name, places);
  if (device.empty()) return "no serial device behind " + name;
  if (Resolved(Under(Root(places), device)).empty()) return device + ": no such device";
  const SerialDevice d = DescribeDevice(device, places);
  const std::string shown = d.device == device ? device : device + " (" + d.device + ")";
  return shown + ": " + AdapterSummary(d);
}

}  // namespace fwdl
