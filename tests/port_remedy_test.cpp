// The remedy texts from their facts, for the cases a test machine cannot
// make for real: a node only its owner may open, one of the group root, a
// refusal the session's groups do not explain, holders that cannot be
// seen, and the problem codes of Windows' device nodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/port_remedy.h"
#include "platform/usb_adapters.h"

namespace fwdl {
namespace {

NodeAccess Access(const std::string& group, bool group_rw, bool listed, bool session) {
  return {"/dev/ttyUSB0", "root", group, group_rw, "ann", listed, session};
}

const UsbChip& Chip(const char* vendor, const char* product) {
  return *KnownChip(vendor, product, false);
}

TEST(RemedyTexts, EachWayAPortFailsHasItsOwnRemedy) {
  const std::vector<Holder> modem_manager_and_screen = {{812, "ModemManager"}, {99, "screen"}};
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> has, lacks;
  } kCases[] = {
      {"only its owner", PermissionRemedy(Access("dialout", false, true, true)),
       {"lets only its owner root open it", "GROUP=\"dialout\", MODE=\"0660\"", kUdevRule},
       {"usermod"}},
      {"the group root", PermissionRemedy(Access("root", true, false, false)),
       {"rather than adding ann to root"}, {"usermod"}},
      {"in the group and the session", PermissionRemedy(Access("dialout", true, true, true)),
       {"which this session has", "AppArmor"}, {"usermod", "log"}},
      {"not in the group", PermissionRemedy(Access("uucp", true, false, false)),
       {"sudo usermod -aG uucp ann, then log in again"}, {}},
      {"ModemManager beside another program", BusyRemedy("/dev/ttyACM0", modem_manager_and_screen, true),
       {"held by ModemManager (process 812), screen (process 99): ",
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\"", "; close that program (kill 99 ends it)"},
       {"kill 812"}},
      {"no holder, every process seen", BusyRemedy("/dev/ttyUSB0", {}, true),
       {"has ended; choose the port again"}, {"fuser"}},
      {"no holder, some processes unseen", BusyRemedy("/dev/ttyUSB0", {}, false),
       {"another user", "sudo fuser -v /dev/ttyUSB0"}, {}},
      {"nothing present", MissingRemedy("", false, 0), {"no serial device is present"}, {}},
      {"one present", MissingRemedy("", false, 1), {"one serial device is present, behind COM1 ("}, {}},
      {"more than eight present", MissingRemedy("", false, 11), {"11 serial devices", "COM1 to COM8"}, {}},
      {"a node with no hardware", MissingRemedy("/dev/ttyS3", true, 2),
       {"/dev/ttyS3 is there, but no hardware answers"}, {"unplugged"}},
      {"a node that is not there", MissingRemedy("/dev/ttyUSB7", false, 2),
       {"/dev/ttyUSB7 is not there: the adapter was unplugged, or the device never was"}, {}},
      {"a port another program holds on Windows", HeldPortRemedy("COM3"),
       {"another program holds COM3", ": close it"}, {"kill"}},
  };
  for (const auto& c : kCases) {
    for (const std::string& part : c.has) EXPECT_NE(c.text.find(part), std::string::npos) << c.what << ": " << c.text;
    for (const std::string& part : c.lacks) EXPECT_EQ(c.text.find(part), std::string::npos) << c.what << ": " << c.text;
  }
}

// What the Device Manager's codes mean for a serial adapter, and the line
// that names it; an old PL2303 that the driver refuses is told as such.
TEST(RemedyTexts, WindowsProblemCodesTellWhatToDo) {
  const struct {
    unsigned code;
    const char* vendor;
    const char* product;
    std::string has;
  } kCases[] = {
      {28, "0403", "6001", "has no driver installed (code 28): install the FTDI VCP driver (the Device Manager"},
      {1, "1a86", "7523", "has no driver installed (code 1): install the CH340 driver (CH341SER)"},
      {10, "067b", "2303", "cannot start (code 10): current PL2303 drivers refuse the chip's old versions"},
      {10, "10c4", "ea60", "cannot start (code 10): unplug it and plug it in again; if that does not help, install the CP210x VCP driver"},
      {22, "0403", "6015", "is disabled (code 22): the Device Manager: right-click the device, Enable device"},
      {43, "067b", "23a3", "stopped by Windows after it reported a fault (code 43)"},
      {52, "1a86", "55d3", "does not trust (code 52): install the CH34x driver (CH341SER or CH343SER) in a signed version"},
      {57, "0403", "6001", "has a problem (code 57): the Device Manager tells it"},
  };
  for (const auto& c : kCases) {
    UsbAdapter adapter;
    adapter.chip = &Chip(c.vendor, c.product);
    adapter.usb_id = std::string(c.vendor) + ":" + c.product;
    adapter.name = "USB Serial";
    adapter.problem = c.code;
    const std::string line = AdapterLine(adapter);
    EXPECT_EQ(line.rfind(std::string(c.vendor == std::string("0403") ? "an " : "a ") +
                             adapter.chip->name + " adapter (USB " + adapter.usb_id + ", USB Serial) ",
                         0),
              0u) << line;
    EXPECT_NE(line.find(c.has), std::string::npos) << line;
  }
  EXPECT_EQ(KnownChip("046d", "c52b", false), nullptr) << "no serial chip";
  EXPECT_STREQ(KnownChip("046d", "c52b", true)->name, "CDC-ACM");
}

}  // namespace
}  // namespace fwdl
