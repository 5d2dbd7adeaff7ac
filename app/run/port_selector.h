// fwdl's --port by the adapter rather than by a name that shifts when a
// second adapter is plugged in:
//   usb:SERIAL    the adapter's USB serial number (case does not matter)
//   usb:VID:PID   its USB vendor and product, "0403:6001"
//   socket:PATH   the USB socket it is plugged into: on Linux "1-2.3" (or
//                 the interface, "1-2.3:1.0", for a chip with two ports),
//                 on Windows the location path the Device Manager shows
// One that fits no port present, or more than one, is refused with the
// list of ports and the selectors that name each alone.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace fwdl::console {

// Whether the argument is a selector ("usb:...", "socket:...").
bool IsSelector(const std::string& argument);

struct PortChoice {
  std::string name;     // what to open; "" when refused
  std::string problem;  // why it was refused, with the ports present
};

// The port among `devices` (those present, in COM order) that `selector` names.
PortChoice ChoosePort(const std::string& selector, const std::vector<SerialDevice>& devices);
// The selectors that name `device` alone among `devices`, the steadiest first:
// its serial number, its socket, its vendor and product.
std::vector<std::string> SelectorsOf(const SerialDevice& device,
                                     const std::vector<SerialDevice>& devices);

// What fwdl opens for a --port argument: a selector chosen among the ports
// present, any other name as PortName makes it.
PortChoice ChoosePort(const std::string& argument);

}  // namespace fwdl::console
