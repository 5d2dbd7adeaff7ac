// Finding the serial devices on Linux, against fake sysfs and /dev trees:
// which device each COM name stands for, the driver and flow mode of each,
// and the line that describes a port.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <functional>

#include "platform/serial_devices.h"
#include "support/fake_system.h"

namespace fwdl {
namespace {

using testing::FakeSystem;

void TwoAdapters(FakeSystem& fake, bool replugged) {
  fake.Uart(0, 4);
  fake.Adapter(replugged ? "ttyUSB1" : "ttyUSB0", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  fake.Adapter(replugged ? "ttyUSB0" : "ttyUSB1", "1-1.4", "ftdi_sio", "0403:6001", "A50285BI",
               "FT232R USB UART", "FTDI");
}

struct Tree {
  const char* what;
  std::function<void(FakeSystem&)> build;
  std::vector<std::string> com;  // COM1, COM2, ...: "device driver flow"; the rest lead nowhere
};

const Tree kTrees[] = {
    {"no devices", [](FakeSystem&) {}, {}},
    {"ttyS0 real, ttyS1..3 without a UART",
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
  for (const Tree& tree : kTrees) {
    FakeSystem fake;
    tree.build(fake);
    for (std::size_t n = 1; n <= 8; ++n) {
      const std::string name = "COM" + std::to_string(n);
      std::string found = PortDevice(name);
      if (!found.empty()) {
        const SerialDevice d = DescribeDevice(found);
        found += " " + d.driver + " " + FlowModeName(d.flow);
      }
      EXPECT_EQ(found, n <= tree.com.size() ? tree.com[n - 1] : "") << tree.what << ", " << name;
    }
  }
}

TEST(SerialDevices, DescribePortNamesTheDeviceAndTheAdapter) {
  FakeSystem fake;
  TwoAdapters(fake, false);
  const struct {
    std::string port, line;
  } kLines[] = {
      {"COM1", "/dev/ttyS0: serial8250, flow control: kernel"},
      {"COM2",
       "/dev/ttyUSB1: ftdi_sio, USB 0403:6001, serial A50285BI, FTDI FT232R USB UART, "
       "flow control: kernel"},
      {"COM4", "no serial device behind COM4"},
      {"/dev/serial/by-id/usb-USB Serial-if00-port0",
       "/dev/serial/by-id/usb-USB Serial-if00-port0 (/dev/ttyUSB0): ch341, USB 1a86:7523, "
       "USB Serial, flow control: program"},
      {"/dev/ttyUSB7", "/dev/ttyUSB7: no such device"},
  };
  for (const auto& [port, line] : kLines) EXPECT_EQ(DescribePort(port), line) << port;
  EXPECT_EQ(
      DescribeDevice("/dev/ttyUSB1").by_id,
      std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_FT232R USB UART_A50285BI-if00-port0"});
  EXPECT_EQ(DescribeDevice("/dev/ttyUSB1").usb_port, "1-1.4");
}

TEST(SerialDevices, FlowModeByDriver) {
  const struct {
    Attachment attachment;
    const char* driver;
    FlowMode mode;
  } kModes[] = {
      {Attachment::kNone, "", FlowMode::kKernel},
      {Attachment::kSerialCore, "serial8250", FlowMode::kKernel},
      {Attachment::kSerialCore, "serial", FlowMode::kKernel},
      {Attachment::kUsbSerial, "ftdi_sio", FlowMode::kKernel},
      {Attachment::kUsbSerial, "ch341", FlowMode::kProgram},
      {Attachment::kUsbSerial, "cp210x", FlowMode::kProgram},
      {Attachment::kUsbSerial, "pl2303", FlowMode::kProgram},
      {Attachment::kUsbSerial, "some_new_driver", FlowMode::kProgram},
      {Attachment::kUsb, "cdc_acm", FlowMode::kProgram},
      {Attachment::kOther, "ftdi_sio", FlowMode::kProgram},
  };
  for (const auto& [attachment, driver, mode] : kModes) {
    EXPECT_EQ(FlowModeFor(attachment, driver), mode) << driver;
  }
  // A pseudo-terminal has no device in sysfs.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const SerialDevice pty = DescribeDevice(ttyname(slave));
  EXPECT_EQ(pty.attachment, Attachment::kNone);
  EXPECT_EQ(pty.driver, "");
  EXPECT_EQ(pty.flow, FlowMode::kKernel);
  close(slave);
  close(master);
}

}  // namespace
}  // namespace fwdl
