// Windows: the reading of SetupAPI's device nodes that the Windows sources
// of platform/ share (serial_devices_win32.cpp, usb_adapters_win32.cpp,
// port_remedy_win32.cpp).
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>

namespace fwdl::setupapi {

// Text for the console in its code page, for a file or a pipe in the ANSI one.
std::string Narrow(const wchar_t* text);
// A string property of the device, "" if it has none; a list of strings
// (REG_MULTI_SZ) comes NUL-separated.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property);
// The instance ID of a device node.
std::string DeviceId(DEVINST instance);
// "COM3" from the device's own key, where the port driver keeps its name;
// "" for a device that has none.
std::string ComName(HDEVINFO set, SP_DEVINFO_DATA& device);
// The node's problem code (CM_PROB_*), 0 for none. Read as the device
// property DEVPKEY_Device_ProblemCode, which Windows computes from the
// node's state as CM_Get_DevNode_Status does; Wine's CM_Get_DevNode_Status
// tells no problem at all, while the property can be set there for tests.
unsigned ProblemCode(HDEVINFO set, SP_DEVINFO_DATA& device);
// The first of the node's location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"),
// else its parent's or grandparent's (a port of FTDI's bus hangs below the
// USB device); "" when none has one.
std::string LocationPath(HDEVINFO set, SP_DEVINFO_DATA& device);

}  // namespace fwdl::setupapi
