// What Windows tells about a serial port, read into what tells one adapter
// from another and who keeps XON/XOFF on it. SetupAPI hands out a device's
// identifiers as strings; the reading of them is plain string work, kept
// apart from the Windows calls (serial_devices_win32.cpp) so that it is
// tested on every system:
//
//   hardware ID  USB\VID_1A86&PID_7523&REV_0263             USB 1a86:7523
//                FTDIBUS\COMPORT&VID_0403&PID_6001          USB 0403:6001
//   instance ID  USB\VID_0403&PID_6001\A50285BI             serial A50285BI
//                FTDIBUS\VID_0403+PID_6001+A50285BIA\0000   serial A50285BI
//                USB\VID_1A86&PID_7523\5&2F4A1F1&0&3        no serial number
//   a function of a composite device, and its parent, the USB device:
//                USB\VID_2E8A&PID_000A&MI_00\7&1B2C3D4E&0&0000
//                USB\VID_2E8A&PID_000A\E660583883724A32     serial E660583883724A32
//
// A USB device's instance ID ends in its serial number when it has one;
// for one without, Windows makes up an ID from the place it is plugged
// into, which always holds "&". FTDI's bus driver appends the channel
// letter (A, B, ...) to the serial number.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_devices.h"

namespace fwdl {

struct DeviceIds {
  std::string vendor;   // four lower-case hex digits, as lsusb shows them; "" if not USB
  std::string product;  // likewise
  std::string serial;   // "" when the device has none
};

// The USB vendor and product from the hardware IDs (or else from the
// instance ID), and the serial number from the instance ID or else from
// the parent's, the device with the same vendor and product that a
// composite device's function or FTDI's bus hangs under.
DeviceIds ReadDeviceIds(const std::vector<std::string>& hardware_ids,
                        const std::string& instance_id, const std::string& parent_id);

// The strings of a REG_MULTI_SZ value ("one\0two\0\0").
std::vector<std::string> SplitMultiString(std::string_view value);

// One COM port as Windows knows it: a device node of SetupAPI, or only a
// value in the registry's list of serial ports (a driver without a device
// node of its own, such as Wine's).
struct WindowsPort {
  std::string com;   // "COM3"
  std::string name;  // the Device Manager's name; the NT device name ("\Device\Serial0")
                     // of a port that only the registry lists
  std::string service;  // the driver's service: "Serial", "FTSER2K", "usbser"; "" unknown
  std::vector<std::string> hardware_ids;
  std::string instance_id, parent_id;
  std::string location;  // the location path of its USB socket; "" unknown
  unsigned problem = 0;  // the device node's problem code (CM_PROB_*), 0 for none
};

// The ports present, once per COM name, in the order of their numbers
// (COM2 before COM10): SetupAPI's, then those only the registry lists.
// Windows only (serial_devices_win32.cpp).
std::vector<WindowsPort> WindowsPortsPresent();

// One entry per COM name, in the order of their numbers: the devices that
// SetupAPI lists, then the names that only the registry's list holds.
std::vector<WindowsPort> MergePorts(const std::vector<WindowsPort>& devices,
                                    const std::vector<WindowsPort>& registered);

// Who stops our output on an XOFF with this driver service (case does not
// matter) and USB vendor: the driver or the adapter's chip (kKernel), or
// the program (kProgram) where neither is known to.
FlowMode WindowsFlowMode(const std::string& service, const std::string& vendor);

// The port as the rest of the program sees a serial device: its driver
// (the service), USB ids, serial number, name, socket (its location path)
// and flow mode.
SerialDevice DescribeWindowsPort(const WindowsPort& port);

// What `fwdl ports` shows after the COM name, such as
// "USB Serial Port (COM3), USB 0403:6001 serial A50285BI".
std::string DeviceManagerLine(const std::string& name, const DeviceIds& ids);

// The problem of the port's device node and what to do, such as "cannot
// start (code 10): ..."; "" for a port without one.
std::string PortProblem(const WindowsPort& port);
// The port's line in `fwdl ports` after its COM name: its Device Manager
// line, its driver, who keeps XON/XOFF and its problem, if any.
std::string PortLine(const WindowsPort& port);

// "COM10" from "\\.\COM10", the form CreateFileA needs above COM9.
std::string ComOf(const std::string& name);

}  // namespace fwdl
