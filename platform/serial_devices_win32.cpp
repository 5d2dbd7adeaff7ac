// Windows: the drivers keep XON/XOFF themselves (fOutX, fInX), and a COM
// name is its own device; there is nothing to find.
#include "serial_devices.h"

namespace fwdl {

std::vector<SerialDevice> SerialDevicesPresent() { return {}; }

SerialDevice DescribeDevice(const std::string& path) {
  SerialDevice device;
  device.device = path;
  return device;
}

std::string PortDevice(const std::string& name) { return name; }

std::string DescribePort(const std::string& name) { return name; }

}  // namespace fwdl
