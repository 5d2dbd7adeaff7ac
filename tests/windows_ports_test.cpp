// The reading of Windows' device identifiers: the strings that SetupAPI
// hands out for the adapters technicians use, as the Device Manager's
// "Details" tab shows them, and who keeps XON/XOFF on each.
#include "platform/windows_ports.h"

#include <gtest/gtest.h>

namespace fwdl {
namespace {

struct IdsCase {
  const char* what;
  std::vector<std::string> hardware_ids;
  std::string instance_id, parent_id;
  DeviceIds expected;
};

const IdsCase kIdsCases[] = {
    {"FT232R on FTDI's bus, its parent the USB device",
     {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
     "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
     "USB\\VID_0403&PID_6001\\A50285BI",
     {"0403", "6001", "A50285BI"}},
    {"FT2232H, channel B, parent unknown: the bus ID without the letter",
     {"FTDIBUS\\COMPORT&VID_0403&PID_6010"},
     "FTDIBUS\\VID_0403+PID_6010+FT4ZQ2B\\0000",
     "",
     {"0403", "6010", "FT4ZQ2"}},
    {"FTDI chip without a serial number",
     {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
     "FTDIBUS\\VID_0403+PID_6001+5&2A5BEBA5&0&2\\0000",
     "USB\\VID_0403&PID_6001\\5&2A5BEBA5&0&2",
     {"0403", "6001", ""}},
    {"CH340: no serial number, a hub with one above it",
     {"USB\\VID_1A86&PID_7523&REV_0263", "USB\\VID_1A86&PID_7523"},
     "USB\\VID_1A86&PID_7523\\5&2F4A1F1&0&3",
     "USB\\VID_05E3&PID_0610\\000000000",
     {"1a86", "7523", ""}},
    {"CP2102 with its factory serial number",
     {"USB\\VID_10C4&PID_EA60&REV_0100", "USB\\VID_10C4&PID_EA60"},
     "USB\\VID_10C4&PID_EA60\\0001",
     "USB\\ROOT_HUB30\\4&1B2C3D4E&0&0",
     {"10c4", "ea60", "0001"}},
    {"CP2105, a function of a composite device: the parent's serial number",
     {"USB\\VID_10C4&PID_EA70&REV_0100&MI_00", "USB\\VID_10C4&PID_EA70&MI_00"},
     "USB\\VID_10C4&PID_EA70&MI_00\\6&2D3A1B&0&0000",
     "USB\\VID_10C4&PID_EA70\\00C6F8A1",
     {"10c4", "ea70", "00C6F8A1"}},
    {"CDC-ACM device (usbser)",
     {"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043"},
     "USB\\VID_2341&PID_0043\\85736323838351F0E1B2",
     "USB\\ROOT_HUB30\\4&1B2C3D4E&0&0",
     {"2341", "0043", "85736323838351F0E1B2"}},
    {"CDC-ACM function of a composite device",
     {"USB\\VID_2E8A&PID_000A&REV_0100&MI_00", "USB\\VID_2E8A&PID_000A&MI_00"},
     "USB\\VID_2E8A&PID_000A&MI_00\\7&1B2C3D4E&0&0000",
     "USB\\VID_2E8A&PID_000A\\E660583883724A32",
     {"2e8a", "000a", "E660583883724A32"}},
    {"CDC-ACM function whose device has no serial number",
     {"USB\\VID_2E8A&PID_000A&MI_00"},
     "USB\\VID_2E8A&PID_000A&MI_00\\7&1B2C3D4E&0&0000",
     "USB\\VID_2E8A&PID_000A\\6&11A2B3C&0&4",
     {"2e8a", "000a", ""}},
    {"PL2303", {"USB\\VID_067B&PID_2303&REV_0300"}, "USB\\VID_067B&PID_2303\\5&3753427A&0&1", "",
     {"067b", "2303", ""}},
    {"driver that lists no USB hardware ID: the instance ID's",
     {"FTSER2K\\COMPORT"}, "USB\\VID_0403&PID_6015\\DN01ABCD", "",
     {"0403", "6015", "DN01ABCD"}},
    {"on-board UART", {"ACPI\\PNP0501", "*PNP0501"}, "ACPI\\PNP0501\\1", "ACPI\\PNP0A08\\0", {}},
    {"Bluetooth serial link: its VID& is no USB id",
     {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0002000a_PID&0000"},
     "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&2B0A1E15&0&0000_0",
     "BTH\\MS_BTHBRB\\6&1F2B3C&0&1", {}},
    {"not four hex digits, or not at the start of a part",
     {"USB\\VID_12&PID_34", "USB\\VID_12345&PID_6789", "USB\\XVID_1234&PID_5678"},
     "ROOT\\PORTS\\0000", "", {}},
};

TEST(PortIds, UsbIdsAndSerialNumberFromTheDeviceIds) {
  for (const IdsCase& c : kIdsCases) {
    SCOPED_TRACE(c.what);
    const DeviceIds ids = ReadDeviceIds(c.hardware_ids, c.instance_id, c.parent_id);
    EXPECT_EQ(ids.vendor, c.expected.vendor);
    EXPECT_EQ(ids.product, c.expected.product);
    EXPECT_EQ(ids.serial, c.expected.serial);
  }
}

TEST(PortIds, MultiStringSplitsAtEachNulUpToTheEmptyOne) {
  using Strings = std::vector<std::string>;
  EXPECT_EQ(SplitMultiString(std::string("USB\\A\0USB\\B\0\0", 14)), (Strings{"USB\\A", "USB\\B"}));
  EXPECT_EQ(SplitMultiString(std::string("one\0\0two\0", 9)), Strings{"one"});
  EXPECT_EQ(SplitMultiString("unterminated"), Strings{"unterminated"});
  EXPECT_EQ(SplitMultiString(""), Strings{});
}

TEST(PortIds, DescriptionIsTheNameThenTheUsbIds) {
  const struct {
    std::string name;
    DeviceIds ids;
    std::string expected;
  } cases[] = {
      {"USB Serial Port (COM3)", {"0403", "6001", "A50285BI"},
       "USB Serial Port (COM3), USB 0403:6001 serial A50285BI"},
      {"USB-SERIAL CH340 (COM5)", {"1a86", "7523", ""}, "USB-SERIAL CH340 (COM5), USB 1a86:7523"},
      {"Communications Port (COM1)", {}, "Communications Port (COM1)"},
      {"", {"10c4", "ea60", "0001"}, "USB 10c4:ea60 serial 0001"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceManagerLine(c.name, c.ids), c.expected);
}

WindowsPort Port(const char* com, const char* name, const char* service = "",
                 const char* hardware_id = nullptr) {
  WindowsPort port;
  port.com = com;
  port.name = name;
  port.service = service;
  if (hardware_id) port.hardware_ids = {hardware_id};
  return port;
}

TEST(PortIds, PortsOncePerNameInNumberOrderDevicesFirst) {
  const std::vector<WindowsPort> devices = {Port("COM10", "USB Serial Device (COM10)"),
                                            Port("COM3", "USB Serial Port (COM3)")};
  const std::vector<WindowsPort> registered = {Port("CNCA0", "\\Device\\com0com10"),
                                               Port("com3", "\\Device\\VCP0"),
                                               Port("COM1", "\\Device\\Serial0"),
                                               Port("COM2", "\\Device\\Serial1")};
  std::vector<std::string> lines;
  for (const WindowsPort& p : MergePorts(devices, registered)) lines.push_back(p.com + " " + p.name);
  EXPECT_EQ(lines, (std::vector<std::string>{"COM1 \\Device\\Serial0", "COM2 \\Device\\Serial1",
                                             "COM3 USB Serial Port (COM3)",
                                             "COM10 USB Serial Device (COM10)",
                                             "CNCA0 \\Device\\com0com10"}));
}

// Who keeps XON/XOFF, by the port's driver service and, where the service
// tells nothing, by its USB vendor.
TEST(PortIds, FlowModeByDriverThenByVendor) {
  const struct {
    WindowsPort port;
    const char* driver;
    FlowMode expected;
  } cases[] = {
      {Port("COM1", "Communications Port (COM1)", "Serial", "ACPI\\PNP0501"), "Serial", FlowMode::kKernel},
      {Port("COM3", "USB Serial Port (COM3)", "FTSER2K", "FTDIBUS\\COMPORT&VID_0403&PID_6001"),
       "FTSER2K", FlowMode::kKernel},
      {Port("COM4", "Silicon Labs CP210x (COM4)", "silabser", "USB\\VID_10C4&PID_EA60"), "silabser",
       FlowMode::kKernel},
      {Port("COM5", "Prolific USB-to-Serial (COM5)", "Ser2pl64", "USB\\VID_067B&PID_2303"),
       "Ser2pl64", FlowMode::kKernel},
      {Port("COM6", "USB-SERIAL CH340 (COM6)", "CH341SER_A64", "USB\\VID_1A86&PID_7523"),
       "CH341SER_A64", FlowMode::kProgram},
      {Port("COM7", "USB-SERIAL CH343 (COM7)", "CH343SER_A64", "USB\\VID_1A86&PID_55D3"),
       "CH343SER_A64", FlowMode::kProgram},
      {Port("COM8", "USB Serial Device (COM8)", "usbser", "USB\\VID_0403&PID_6001"), "usbser",
       FlowMode::kProgram},  // CDC-ACM whatever the vendor: it cannot set XON/XOFF
      {Port("COM9", "USB Serial Port (COM9)", "", "FTDIBUS\\COMPORT&VID_0403&PID_6015"), "",
       FlowMode::kKernel},  // service unread: the FTDI chip
      {Port("COM10", "USB-SERIAL CH340 (COM10)", "", "USB\\VID_1A86&PID_7523"), "",
       FlowMode::kProgram},
      {Port("COM11", "\\Device\\Serial2"), "Serial", FlowMode::kKernel},  // the registry's alone
      {Port("COM12", "\\Device\\com0com10"), "", FlowMode::kProgram},     // unknown
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port.com);
    const SerialDevice device = DescribeWindowsPort(c.port);
    EXPECT_EQ(device.driver, c.driver);
    EXPECT_EQ(device.flow, c.expected);
  }
}

}  // namespace
}  // namespace fwdl
