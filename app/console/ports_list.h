// fwdl ports [--json]: the serial ports present with what identifies each
// (names, driver, USB ids, serial number, socket, who keeps XON/XOFF, the
// selectors that name it alone), then the USB serial adapters present
// without a port, each with what to do.
//
// --json writes one JSON object:
//   {"ports":[{"port":"/dev/ttyUSB0","com":["COM2"],"name":"FT232R USB UART",
//              "driver":"ftdi_sio","usb":"0403:6001","serial":"A50285BI","socket":"1-1",
//              "flow_control":"kernel","selectors":["usb:A50285BI","socket:1-1","usb:0403:6001"],
//              "by_id":["/dev/serial/by-id/..."],"problem":null}, ...],
//    "adapters_without_port":[{"chip":"CH340","usb":"1a86:7523","socket":"1-2",
//              "problem_code":null,"text":"a CH340 adapter (USB 1a86:7523, socket 1-2) has ..."}]}
// Fields that are not known are null; "problem" (Windows) is the port's
// device node's problem and what to do.
#pragma once

#include <iosfwd>

#include "platform/serial_devices.h"

namespace fwdl::console {

// Prints the list; exit code 0.
int PrintPorts(bool json, const SystemPlaces& places, std::ostream& out);

}  // namespace fwdl::console
