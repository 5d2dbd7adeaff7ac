#include "windows_ports.h"

#include "usb_adapters.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace fwdl {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// The four hex digits after `tag` ("VID_", "PID_") where the tag starts
// the ID or one of its parts (after "\", "&" or "+"), in lower case; ""
// when there are none. Bluetooth's "_VID&0002..." is no USB id.
std::string IdField(std::string_view id, std::string_view tag) {
  const std::string upper = Upper(id);
  for (std::size_t at = upper.find(tag); at != std::string::npos; at = upper.find(tag, at + 1)) {
    if (at > 0 && std::string_view("\\&+").find(upper[at - 1]) == std::string_view::npos) continue;
    const std::size_t digits = at + tag.size(), end = digits + 4;
    if (end > upper.size() || (end < upper.size() && IsHex(upper[end]))) continue;
    if (!std::all_of(upper.begin() + digits, upper.begin() + end, IsHex)) continue;
    std::string field(id.substr(digits, 4));
    for (char& c : field) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return field;
  }
  return {};
}

bool SameDevice(std::string_view part, const DeviceIds& ids) {
  return IdField(part, "VID_") == ids.vendor && IdField(part, "PID_") == ids.product;
}

// The serial number that a USB device's own instance ID ends in. That of a
// composite device's function is always made up: the serial number is
// its parent's.
std::string UsbSerial(std::string_view instance_id, const DeviceIds& ids) {
  const auto parts = Split(instance_id, '\\');
  if (parts.size() != 3 || Upper(parts[0]) != "USB" || !SameDevice(parts[1], ids)) return {};
  if (parts[2].empty() || parts[2].find('&') != std::string_view::npos) return {};  // made up
  return std::string(parts[2]);
}

// The serial number in an ID of FTDI's bus, without the channel letter.
std::string FtdiSerial(std::string_view instance_id, const DeviceIds& ids) {
  const auto parts = Split(instance_id, '\\');
  if (parts.size() != 3 || Upper(parts[0]) != "FTDIBUS") return {};
  const auto fields = Split(parts[1], '+');
  if (fields.size() != 3 || IdField(fields[0], "VID_") != ids.vendor ||
      IdField(fields[1], "PID_") != ids.product) {
    return {};
  }
  const std::string_view serial = fields[2];
  if (serial.size() < 2 || serial.find('&') != std::string_view::npos) return {};  // made up
  return std::string(serial.substr(0, serial.size() - 1));
}

// COM3 -> 3; any other name after every COM port.
int ComNumber(const std::string& name) {
  const std::string upper = Upper(name);
  if (upper.size() < 4 || upper.size() > 6 || upper.compare(0, 3, "COM") != 0) return INT_MAX;
  if (!std::all_of(upper.begin() + 3, upper.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return INT_MAX;
  }
  return std::stoi(upper.substr(3));
}

}  // namespace

DeviceIds ReadDeviceIds(const std::vector<std::string>& hardware_ids,
                        const std::string& instance_id, const std::string& parent_id) {
  DeviceIds ids;
  std::vector<std::string> sources = hardware_ids;
  sources.push_back(instance_id);  // for a driver that lists no USB ids
  for (const std::string& id : sources) {
    ids.vendor = IdField(id, "VID_");
    ids.product = IdField(id, "PID_");
    if (!ids.vendor.empty() && !ids.product.empty()) break;
  }
  if (ids.vendor.empty() || ids.product.empty()) return {};
  for (const std::string& id : {instance_id, parent_id}) {
    ids.serial = UsbSerial(id, ids);
    if (ids.serial.empty()) ids.serial = FtdiSerial(id, ids);
    if (!ids.serial.empty()) break;
  }
  return ids;
}

std::vector<std::string> SplitMultiString(std::string_view value) {
  std::vector<std::string> strings;
  for (std::string_view part : Split(value, '\0')) {
    if (part.empty()) break;  // the closing empty string
    strings.emplace_back(part);
  }
  return strings;
}

std::string DeviceManagerLine(const std::string& name, const DeviceIds& ids) {
  std::string about = name;
  if (!ids.vendor.empty()) {
    about += (about.empty() ? "USB " : ", USB ") + ids.vendor + ":" + ids.product;
    if (!ids.serial.empty()) about += " serial " + ids.serial;
  }
  return about;
}

std::vector<WindowsPort> MergePorts(const std::vector<WindowsPort>& devices,
                                    const std::vector<WindowsPort>& registered) {
  std::vector<WindowsPort> ports;
  for (const auto* list : {&devices, &registered}) {
    for (const WindowsPort& port : *list) {
      const bool known = std::any_of(ports.begin(), ports.end(), [&](const WindowsPort& p) {
        return Upper(p.com) == Upper(port.com);
      });
      if (!known) ports.push_back(port);
    }
  }
  std::stable_sort(ports.begin(), ports.end(), [](const WindowsPort& a, const WindowsPort& b) {
    return ComNumber(a.com) < ComNumber(b.com);
  });
  return ports;
}

// Who stops our output when the instrument sends XOFF, with fOutX set:
//   Serial (serial.sys)        driver   the UART driver holds its transmitter
//   FTSER2K, FTDIBUS           driver   FTDI's driver has the chip act on XOFF
//   silabser                   driver   CP210x: the chip's own XON/XOFF
//   Ser2pl, Ser2pl64           driver   PL2303 (HX and later): the chip's own
//   usbser                     program  CDC-ACM has no request that sets XON/XOFF
//   CH341SER(_A64), CH343SER   program  CH34x have no XON/XOFF in the chip, and
//     (_A64), other WCH ones            nothing says their driver stops on XOFF
//   any other service          by the USB vendor: FTDI 0403, Silicon Labs 10c4,
//                              Prolific 067b the chip; all else the program
FlowMode WindowsFlowMode(const std::string& service, const std::string& vendor) {
  const std::string s = Upper(service);
  if (s == "SERIAL" || s == "FTSER2K" || s == "FTDIBUS" || s == "SILABSER" || s == "SER2PL" ||
      s == "SER2PL64") {
    return FlowMode::kKernel;
  }
  if (s == "USBSER" || s.rfind("CH34", 0) == 0 || s.rfind("WCH", 0) == 0) return FlowMode::kProgram;
  if (vendor == "0403" || vendor == "10c4" || vendor == "067b") return FlowMode::kKernel;
  return FlowMode::kProgram;
}

SerialDevice DescribeWindowsPort(const WindowsPort& port) {
  SerialDevice d;
  d.device = port.com;
  d.driver = port.service;
  // A port that only the registry lists under serial.sys's device name.
  if (d.driver.empty() && port.name.rfind("\\Device\\Serial", 0) == 0) d.driver = "Serial";
  const DeviceIds ids = ReadDeviceIds(port.hardware_ids, port.instance_id, port.parent_id);
  if (!ids.vendor.empty()) d.usb_id = ids.vendor + ":" + ids.product;
  d.serial = ids.serial;
  d.usb_port = port.location;
  d.product = port.name;
  d.flow = WindowsFlowMode(d.driver, ids.vendor);
  return d;
}

std::string PortProblem(const WindowsPort& port) {
  if (port.problem == 0) return {};
  const DeviceIds ids = ReadDeviceIds(port.hardware_ids, port.instance_id, port.parent_id);
  const UsbChip* chip = KnownChip(ids.vendor, ids.product, false);
  return DeviceProblem(port.problem, chip, ids.vendor.empty() ? "" : ids.vendor + ":" + ids.product);
}

std::string PortLine(const WindowsPort& port) {
  const SerialDevice device = DescribeWindowsPort(port);
  std::string line =
      DeviceManagerLine(port.name, ReadDeviceIds(port.hardware_ids, port.instance_id, port.parent_id));
  if (!device.driver.empty()) line += ", driver " + device.driver;
  line += std::string(", flow control: ") + FlowModeName(device.flow);
  if (port.problem != 0) line += "; " + PortProblem(port);
  return line;
}

std::string ComOf(const std::string& name) {
  return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

}  // namespace fwdl
