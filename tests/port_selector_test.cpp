// Choosing a port by its adapter: by serial number, by vendor and product,
// by the USB socket (on Linux the hub port, or the interface of a chip
// with two ports; on Windows a location path), and refusing a selector
// that fits no port or several, with the list of those present.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run/port_selector.h"

namespace fwdl {
namespace {

SerialDevice Device(const char* path, const char* usb_id, const char* serial, const char* socket,
                    const char* interface = "") {
  SerialDevice d;
  d.device = path;
  d.usb_id = usb_id;
  d.serial = serial;
  d.usb_port = socket;
  d.usb_interface = interface;
  return d;
}

const std::vector<SerialDevice> kPresent = {
    Device("/dev/ttyS0", "", "", ""),
    Device("/dev/ttyUSB2", "0403:6001", "A50285BI", "1-1.4", "1-1.4:1.0"),
    Device("/dev/ttyUSB0", "1a86:7523", "", "1-2", "1-2:1.0"),
    Device("/dev/ttyUSB1", "1a86:7523", "", "1-3", "1-3:1.0"),
    // An FT2232: two ports of one chip, one serial number, one socket.
    Device("/dev/ttyUSB3", "0403:6010", "FT2232X", "2-1", "2-1:1.0"),
    Device("/dev/ttyUSB4", "0403:6010", "FT2232X", "2-1", "2-1:1.1"),
    Device("COM7", "067b:2303", "", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"),
};

TEST(PortSelector, ASelectorNamesOnePortOrIsRefusedWithTheList) {
  const struct {
    const char* selector;
    const char* chosen;     // "" when refused
    const char* problem;    // part of the refusal
  } kCases[] = {
      {"usb:A50285BI", "/dev/ttyUSB2", ""},
      {"usb:a50285bi", "/dev/ttyUSB2", ""},
      {"usb:0403:6001", "/dev/ttyUSB2", ""},
      {"usb:0403:6001x", "", "no port has the USB serial number 0403:6001x"},
      {"socket:1-3", "/dev/ttyUSB1", ""},
      {"socket:2-1:1.1", "/dev/ttyUSB4", ""},
      {"socket:pciroot(0)#pci(1400)#usbroot(0)#usb(3)", "COM7", ""},
      {"usb:1A86:7523", "", "--port usb:1A86:7523 fits 2 ports (/dev/ttyUSB0, /dev/ttyUSB1): name one alone"},
      {"usb:FT2232X", "", "fits 2 ports (/dev/ttyUSB3, /dev/ttyUSB4)"},
      {"socket:1-9", "", "--port socket:1-9: no port has the USB socket 1-9; the ports present:"},
  };
  for (const auto& c : kCases) {
    const console::PortChoice choice = console::ChoosePort(c.selector, kPresent);
    EXPECT_EQ(choice.name, c.chosen) << c.selector;
    EXPECT_NE(choice.problem.find(c.problem), std::string::npos) << c.selector << ": " << choice.problem;
    if (!*c.chosen) {
      // The refusal lists every port with what names it alone.
      EXPECT_NE(choice.problem.find("\n  /dev/ttyUSB1  socket:1-3 ("), std::string::npos) << choice.problem;
      EXPECT_NE(choice.problem.find("\n  /dev/ttyS0  (no selector names it alone) ("), std::string::npos);
    }
  }
}

TEST(PortSelector, EachPortGetsTheSelectorsThatNameItAloneSteadiestFirst) {
  const std::vector<std::vector<std::string>> kExpected = {
      {},
      {"usb:A50285BI", "socket:1-1.4", "usb:0403:6001"},
      {"socket:1-2"},
      {"socket:1-3"},
      {"socket:2-1:1.0"},
      {"socket:2-1:1.1"},
      {"socket:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)", "usb:067b:2303"},
  };
  for (std::size_t i = 0; i < kPresent.size(); ++i) {
    EXPECT_EQ(console::SelectorsOf(kPresent[i], kPresent), kExpected[i]) << kPresent[i].device;
  }
  EXPECT_FALSE(console::IsSelector("usb:")) << "a selector needs a value";
  EXPECT_FALSE(console::IsSelector("/dev/ttyUSB0"));
}

}  // namespace
}  // namespace fwdl
