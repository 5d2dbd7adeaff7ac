// Finding the serial devices on Linux, against fake sysfs and /dev trees:
// which device each COM name stands for, its driver and flow mode, and the
// line that describes a port.
#include <gtest/gtest.h>

#include <functional>

#include "platform/serial_devices.h"
#include "support/fake_system.h"
#include "support/pty.h"

namespace fwdl {
namespace {

using testing::FakeSystem;

void TwoAdapters(FakeSystem& fake, bool replugged) {
  fake.Uart(0, 4);
  fake.Adapter(replugged ? "ttyUSB1" : "ttyUSB0", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  fake.Adapter(replugged ? "ttyUSB0" : "ttyUSB1", "1-1.4", "ftdi_sio", "0403:6001", "A50285BI",
               "FT232R USB UART");
}

const struct {
  const char* what;
  std::function<void(FakeSystem&)> build;
  std::vector<std::string> com;  // COM1, COM2, ...: "device driver flow"; the rest lead nowhere
} kTrees[] = {
    {"no devices", [](FakeSystem&) {}, {}},
    {"virtual consoles and the like are no ports",
     [](FakeSystem& fake) {
       for (const char* tty : {"console", "ptmx", "tty", "tty0", "tty1", "tty63"}) fake.VirtualTty(tty);
       fake.Uart(0, 4);
     },
     {"/dev/ttyS0 serial8250 kernel"}},
    {"ttyS0 real, ttyS1..3 without a UART (kernel before 6.5)",
     [](FakeSystem& fake) {
       for (int n = 0; n < 4; ++n) fake.Uart(n, n == 0 ? 4 : 0, /*serial_base=*/false);
     },
     {"/dev/ttyS0 serial8250 kernel"}},
    {"two adapters, by USB socket",
     [](FakeSystem& fake) { TwoAdapters(fake, false); },
     {"/dev/ttyS0 serial8250 kernel", "/dev/ttyUSB1 ftdi_sio kernel",
      "/dev/ttyUSB0 ch341 program"}},
    {"the same, replugged under swapped names",
     [](FakeSystem& fake) { TwoAdapters(fake, true); },
     {"/dev/ttyS0 serial8250 kernel", "/dev/ttyUSB0 ftdi_sio kernel",
      "/dev/ttyUSB1 ch341 program"}},
    {"hub ports compared as numbers, ACM among them",
     [](FakeSystem& fake) {
       fake.Adapter("ttyUSB0", "1-1.10", "cp210x", "10c4:ea60", "0001", "CP2102 USB to UART");
       fake.Adapter("ttyACM0", "1-1.9", "cdc_acm", "2e8a:000a", "E660", "Board CDC");
       fake.Adapter("ttyUSB1", "2-1", "pl2303", "067b:2303", "", "USB-Serial Controller");
     },
     {"/dev/ttyACM0 cdc_acm program", "/dev/ttyUSB0 cp210x program",
      "/dev/ttyUSB1 pl2303 program"}},
};

TEST(SerialDevices, ComNamesLeadToTheDevicesPresentInAStableOrder) {
  for (const auto& tree : kTrees) {
    FakeSystem fake;
    tree.build(fake);
    for (std::size_t n = 1; n <= 8; ++n) {
      std::string found = PortDevice("COM" + std::to_string(n), fake.places());
      if (!found.empty()) {
        const SerialDevice d = DescribeDevice(found, fake.places());
        found += " " + d.driver + " " + FlowModeName(d.flow);
      }
      EXPECT_EQ(found, n <= tree.com.size() ? tree.com[n - 1] : "") << tree.what << ", COM" << n;
    }
  }
}

TEST(SerialDevices, DescribePortNamesTheDeviceAndTheAdapter) {
  FakeSystem fake;
  TwoAdapters(fake, false);
  const std::string by_id = "/dev/serial/by-id/usb-USB Serial-if00";
  const std::pair<std::string, std::string> kLines[] = {
      {"COM2",
       "/dev/ttyUSB1: ftdi_sio, USB 0403:6001, serial A50285BI, FT232R USB UART, "
       "flow control: kernel"},
      {"COM4", "no serial device behind COM4"},
      {by_id, by_id + " (/dev/ttyUSB0): ch341, USB 1a86:7523, USB Serial, flow control: program"},
      {"/dev/ttyUSB7", "/dev/ttyUSB7: no such device"},
  };
  for (const auto& [port, line] : kLines) EXPECT_EQ(DescribePort(port, fake.places()), line) << port;
  EXPECT_EQ(DescribeDevice("/dev/ttyUSB0", fake.places()).by_id, std::vector<std::string>{by_id});
}

TEST(SerialDevices, UnknownDriversAreLeftToTheProgramAPseudoTerminalToTheKernel) {
  EXPECT_EQ(FlowModeFor(Attachment::kUsbSerial, "some_new_driver"), FlowMode::kProgram);
  EXPECT_EQ(FlowModeFor(Attachment::kOther, "ftdi_sio"), FlowMode::kProgram);
  testing::Pty pty;
  const SerialDevice d = DescribeDevice(pty.path, {});
  EXPECT_TRUE(d.attachment == Attachment::kNone && d.driver.empty() && d.flow == FlowMode::kKernel);
}

}  // namespace
}  // namespace fwdl
