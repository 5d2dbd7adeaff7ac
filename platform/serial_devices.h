// The serial devices of this system, which of them "COM1".."COM8" stand
// for, and who keeps XON/XOFF on each.
//
// Principles of operation
// - Without configuration, COMn is the nth serial device present, in an
//   order that holds from run to run and across re-plugging into the same
//   USB socket: first the on-board UARTs that have hardware behind them,
//   by name, then USB adapters (usb-serial and cdc_acm alike) by the socket
//   they are plugged into: bus, the hub ports on the way, the interface.
//   The kernel's ttyUSBn numbers follow the order of plugging; this does not.
// - The user may name the device of COMn itself (FWDL_COMn, read by the
//   front end); the other names keep their places.
// - A device's driver tells who stops our output when the instrument sends
//   XOFF: the kernel (or the adapter's chip), or the program itself.
// - On Linux the facts come from sysfs and /dev. A root in SystemPlaces
//   (FWDL_SYSTEM_ROOT, which only tests set) puts them under another
//   directory ($ROOT/sys, $ROOT/dev; also $ROOT/proc and $ROOT/run/udev
//   for port_remedy.h); device paths are still given as the system's
//   ("/dev/...").
// - Nothing here reads the environment: the front end reads it once at
//   start and hands SystemPlaces to every operation that looks at the system.
//   On Windows there is nothing to find: a COM name is its own device.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace fwdl {

// Where the serial devices of this system are looked for, as the front end
// read it at start (FWDL_COMn, FWDL_SYSTEM_ROOT). Windows has no use for
// it: a COM name is its own device there.
struct SystemPlaces {
  // The device that the user named for COMn ("/dev/ttyUSB3"), by n; a port
  // not in it is the nth device present.
  std::map<int, std::string> com;
  // The folder that holds the system's files ($ROOT/sys, $ROOT/dev,
  // $ROOT/proc, $ROOT/run/udev), which only tests set; empty: "/".
  std::string root;
};

// Who stops our output on an XOFF: the kernel's tty layer or the adapter
// (kKernel, with IXON), or the program watching what it reads (kProgram).
enum class FlowMode { kKernel, kProgram };
const char* FlowModeName(FlowMode mode);  // "kernel", "program"

// How a tty hangs off the hardware.
enum class Attachment {
  kNone,        // no device behind it: a pseudo-terminal, or not there at all
  kSerialCore,  // a UART of the kernel's serial core (ttyS, ttyAMA, ...)
  kUsbSerial,   // a driver of the usb-serial layer (ttyUSB)
  kUsb,         // another USB driver with ttys of its own (cdc_acm: ttyACM)
  kOther,       // anything else (Bluetooth rfcomm, ...)
};

// The flow mode for a device attached so, with this driver.
FlowMode FlowModeFor(Attachment attachment, const std::string& driver);

struct SerialDevice {
  std::string device;  // "/dev/ttyUSB0": symlinks resolved
  std::string driver;  // "ch341", "ftdi_sio", "serial8250", "cdc_acm"; empty: none
  Attachment attachment = Attachment::kNone;
  std::string usb_id;                         // "1a86:7523"; empty when not on USB
  std::string serial, manufacturer, product;  // the USB device's strings
  // The USB socket: on Linux "1-2.3" (bus 1, port 2, hub port 3), on Windows
  // its location path; empty when not on USB or not known.
  std::string usb_port;
  std::string usb_interface;  // Linux: "1-2.3:1.0", the interface the tty hangs off
  std::vector<std::string> by_id;  // the /dev/serial/by-id names that lead here
  FlowMode flow = FlowMode::kKernel;
};

// The serial devices present, in COM order.
std::vector<SerialDevice> SerialDevicesPresent(const SystemPlaces& places);
// Any path (a by-id link, a pseudo-terminal); one that leads nowhere comes
// back as given, with no driver.
SerialDevice DescribeDevice(const std::string& path, const SystemPlaces& places);

// The device that a port name stands for: for "COMn" the device named for
// it in `places` if not empty, else the nth device present, else ""
// (nothing behind COMn); any other name stands for itself. On Windows every
// name stands for itself.
std::string PortDevice(const std::string& name, const SystemPlaces& places);

// "ch341, USB 1a86:7523, serial 5A3B, USB Serial, flow control: program":
// the adapter behind a device, in one line.
std::string AdapterSummary(const SerialDevice& device);
// One line for a port name, for the port menu's tooltip and `fwdl ports`:
// "/dev/ttyUSB0: " and the adapter, or "no serial device behind COM3".
std::string DescribePort(const std::string& name, const SystemPlaces& places);

}  // namespace fwdl
