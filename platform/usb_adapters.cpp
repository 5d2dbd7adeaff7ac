// The known serial chips, and the words for an adapter without a port.
#include "usb_adapters.h"

namespace fwdl {
namespace {

struct Known {
  const char* vendor;
  const char* product;  // nullptr: any product of the vendor
  UsbChip chip;
};

// The first row that fits a device is its chip. brltty's udev rules take
// the CH340, the CP2102 and the FT232R for Braille displays on some systems.
constexpr Known kChips[] = {
    {"0403", "6001", {"FTDI", "ftdi_sio", "the FTDI VCP driver", true}},
    {"0403", nullptr, {"FTDI", "ftdi_sio", "the FTDI VCP driver", false}},
    {"10c4", "ea60", {"CP210x", "cp210x", "the CP210x VCP driver", true}},
    {"10c4", nullptr, {"CP210x", "cp210x", "the CP210x VCP driver", false}},
    {"1a86", "7523", {"CH340", "ch341", "the CH340 driver (CH341SER)", true}},
    {"1a86", "5523", {"CH341", "ch341", "the CH340 driver (CH341SER)", false}},
    {"1a86", nullptr, {"CH34x", "ch341", "the CH34x driver (CH341SER or CH343SER)", false}},
    {"067b", nullptr, {"PL2303", "pl2303", "the PL2303 driver", false}},
};
constexpr UsbChip kCdcAcm = {"CDC-ACM", "cdc_acm", "usbser.sys", false};

// "a CH340 adapter", "an FTDI adapter".
std::string Article(const UsbChip& chip) {
  const char first = chip.name[0];
  const bool vowel_sound = first == 'F' || first == 'A' || first == 'E' || first == 'I' ||
                           first == 'O' || first == 'U';
  return std::string(vowel_sound ? "an " : "a ") + chip.name + " adapter";
}

std::string LinuxLine(const UsbAdapter& a) {
  const UsbChip& chip = *a.chip;
  std::string line = Article(chip) + " (USB " + a.usb_id + ", socket " + a.socket +
                     ") has no serial device: its driver is not loaded, or a service took it";
  if (chip.brltty) line += " (brltty claims this chip on some systems)";
  if (!a.holders.empty()) {
    line += "; " + HolderList(a.holders) + " has it";
    for (const Holder& h : a.holders) {
      if (h.name == "brltty") {
        line += ": where no Braille display is used, remove brltty (sudo apt remove brltty) or "
                "keep it from the chip (sudo systemctl mask brltty-udev.service), then plug "
                "the adapter in again";
        return line;
      }
    }
    return line + ": end it, then plug the adapter in again";
  }
  if (a.interface_driver.empty()) {
    return line + "; no driver has it: sudo modprobe " + chip.linux_driver +
           " loads the chip's driver";
  }
  if (a.interface_driver == "usbfs") {
    return line + "; a program has it through usbfs (sudo fuser -v " + a.node + " names it)";
  }
  return line + "; its interface has the driver " + a.interface_driver +
         ", and no tty came of it: plug the adapter in again";
}

}  // namespace

const UsbChip* KnownChip(const std::string& vendor, const std::string& product, bool cdc_acm) {
  for (const Known& k : kChips) {
    if (vendor == k.vendor && (!k.product || product == k.product)) return &k.chip;
  }
  return cdc_acm ? &kCdcAcm : nullptr;
}

// The problems an adapter's node shows in the Device Manager (its General
// tab: "This device cannot start. (Code 10)"), in the codes of cfg.h.
std::string DeviceProblem(unsigned code, const UsbChip* chip, const std::string& usb_id) {
  const std::string install = chip ? std::string("install ") + chip->windows_driver
                                   : std::string("install the adapter's driver");
  const std::string update =
      " (the Device Manager: right-click the device, Update driver, Search automatically)";
  const std::string coded = " (code " + std::to_string(code) + ")";
  switch (code) {
    case 1:   // CM_PROB_NOT_CONFIGURED
    case 18:  // CM_PROB_REINSTALL
    case 28:  // CM_PROB_FAILED_INSTALL
      return "has no driver installed" + coded + ": " + install + update;
    case 10:  // CM_PROB_FAILED_START
      if (usb_id == "067b:2303") {
        return "cannot start" + coded +
               ": current PL2303 drivers refuse the chip's old versions (HXA, XA) and copies of "
               "it: use an adapter with a current chip, or a PL2303 driver that still serves "
               "this one";
      }
      return "cannot start" + coded + ": unplug it and plug it in again; if that does not help, " +
             install + update;
    case 14:  // CM_PROB_NEED_RESTART
      return "waits for Windows to restart" + coded + ": restart the computer";
    case 22:  // CM_PROB_DISABLED
      return "is disabled" + coded +
             ": the Device Manager: right-click the device, Enable device";
    case 24:  // CM_PROB_DEVICE_NOT_THERE
    case 45:  // CM_PROB_PHANTOM
      return "is not connected" + coded + ": plug it in";
    case 31:  // CM_PROB_FAILED_ADD
    case 37:  // CM_PROB_FAILED_DRIVER_ENTRY
    case 39:  // CM_PROB_DRIVER_FAILED_LOAD
      return "has a driver that Windows cannot load" + coded + ": " + install + " anew" + update;
    case 43:  // CM_PROB_FAILED_POST_START
      return "was stopped by Windows after it reported a fault" + coded +
             ": unplug it and plug it into another socket; if it stays, the adapter is faulty";
    case 48:  // CM_PROB_DRIVER_BLOCKED
    case 52:  // CM_PROB_UNSIGNED_DRIVER
      return "has a driver that Windows does not trust" + coded + ": " + install +
             " in a signed version" + update;
    default:
      return "has a problem" + coded + ": the Device Manager tells it on the device's General tab";
  }
}

std::string AdapterLines(const SystemPlaces& places) {
  std::string lines;
  for (const UsbAdapter& adapter : AdaptersWithoutPort(places)) {
    if (!lines.empty()) lines += '\n';
    lines += AdapterLine(adapter);
  }
  return lines;
}

void AddAdapterFindings(std::vector<Finding>& findings, const SystemPlaces& places) {
  const std::vector<UsbAdapter> adapters = AdaptersWithoutPort(places);
  for (const UsbAdapter& adapter : adapters) findings.push_back({false, "adapter", AdapterLine(adapter)});
  if (adapters.empty()) findings.push_back({true, "adapters", "every USB serial adapter present has its port"});
}

std::string AdapterLine(const UsbAdapter& a) {
  if (a.problem == 0) return LinuxLine(a);
  std::string line = Article(*a.chip) + " (USB " + a.usb_id;
  if (!a.name.empty()) line += ", " + a.name;
  return line + ") " + DeviceProblem(a.problem, a.chip, a.usb_id);
}

}  // namespace fwdl
