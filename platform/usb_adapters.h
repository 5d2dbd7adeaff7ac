// USB serial adapters that the system has but that give no port, told with
// what to do: on Linux a known serial chip with no tty behind it (no driver,
// or a service such as brltty took it), on Windows a device node with a
// problem (no driver installed, a driver that refuses the chip).
//
// Principles of operation
// - A chip is known by its USB vendor (FTDI 0403, CP210x 10c4, CH34x 1a86,
//   PL2303 067b), and any device with a CDC-ACM interface is one too.
// - AdaptersWithoutPort finds them (usb_adapters_posix.cpp from sysfs,
//   usb_adapters_win32.cpp from SetupAPI); AdapterLine and DeviceProblem
//   make the words, from the facts alone, tested on every system.
#pragma once

#include <string>
#include <vector>

#include "platform/port_remedy.h"

namespace fwdl {

struct UsbChip {
  const char* name;          // "CH340"
  const char* linux_driver;  // the kernel module that gives it a tty: "ch341"
  const char* windows_driver;  // what to install on Windows, in words
  bool brltty;  // brltty's rules claim this chip on some systems
};
// The serial chip of a USB device ("1a86", "7523", lower case), or of any
// device with a CDC-ACM interface; nullptr for any other device.
const UsbChip* KnownChip(const std::string& vendor, const std::string& product, bool cdc_acm);

// What Windows says of a device node with problem `code` (CM_PROB_*), and
// what to do, for the chip where it matters (nullptr: not known).
std::string DeviceProblem(unsigned code, const UsbChip* chip, const std::string& usb_id);

struct UsbAdapter {
  const UsbChip* chip = nullptr;
  std::string usb_id;  // "1a86:7523"
  std::string socket;  // Linux: the USB socket, "1-2"; Windows: its location path
  // Linux: who has the serial interface instead, and the processes that
  // hold the USB device's own node (/dev/bus/usb/001/005), as brltty does.
  std::string interface_driver;  // "usbfs"; "" when no driver has it
  std::string node;
  std::vector<Holder> holders;
  // Windows: the Device Manager's name and the node's problem code.
  std::string name;
  unsigned problem = 0;
};

// "a CH340 adapter (USB 1a86:7523, socket 1-2) has no serial device: its
// driver is not loaded, or a service took it (brltty claims this chip on
// some systems)", and what was seen of it with its remedy; on Windows the
// problem and its remedy.
std::string AdapterLine(const UsbAdapter& adapter);

// The adapters present without a port. Implemented once per system.
std::vector<UsbAdapter> AdaptersWithoutPort(const SystemPlaces& places);

// Their lines, one a line; "" when there are none.
std::string AdapterLines(const SystemPlaces& places);
// A finding for each of them, or one that none is there.
void AddAdapterFindings(std::vector<Finding>& findings, const SystemPlaces& places);

}  // namespace fwdl
