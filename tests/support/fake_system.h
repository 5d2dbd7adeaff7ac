// A fake sysfs, /dev, /proc and udev database in a temporary folder, shaped
// as the kernel and udev make them, for finding serial devices and what
// keeps them from working: its places() lead the program there.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace fwdl::testing {

// Places where COM1 leads to `device`, on the system `places` tell.
inline SystemPlaces Com1At(const std::string& device, SystemPlaces places = {}) {
  places.com[1] = device;
  return places;
}

// Port options where COM1 leads to `device`.
inline PortOptions Com1Options(const std::string& device, PortOptions options = {}) {
  options.places = Com1At(device, options.places);
  return options;
}

class FakeSystem {
 public:
  FakeSystem() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwdl-root-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    Dir("sys/class/tty");
    Dir("sys/bus/usb/devices");
    Dir("proc");
  }
  ~FakeSystem() { std::filesystem::remove_all(root_); }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  // ttySn of the 8250 driver; `type` 0: no UART behind it. Since kernel
  // 6.5 a serial-base port device sits between the tty and the UART.
  void Uart(int n, int type, bool serial_base = true) {
    Path device = Dir("sys/devices/platform/serial8250");
    Link(device / "driver", "sys/bus/platform/drivers/serial8250");
    if (serial_base) {
      device = Dir(device / "serial8250:0" / ("serial8250:0." + std::to_string(n)));
      Link(device.parent_path() / "subsystem", "sys/bus/serial-base");
      Link(device / "subsystem", "sys/bus/serial-base");
      Link(device / "driver", "sys/bus/serial-base/drivers/port");
    }
    Write(Tty(device, "ttyS" + std::to_string(n)) / "type", std::to_string(type));
  }

  // A USB adapter plugged into `port` ("1-1.4"): a usb-serial driver makes
  // ttyUSBn (the layer has its own name for ch341), cdc_acm ttyACMn.
  void Adapter(const std::string& tty, const std::string& port, const std::string& driver,
               const std::string& id, const std::string& serial, const std::string& product) {
    Path device = UsbDevice(port, id, serial, product, driver, driver == "cdc_acm");
    if (driver != "cdc_acm") {
      device = Dir(device / tty);
      Link(device / "driver",
           "sys/bus/usb-serial/drivers/" + driver + (driver == "ch341" ? "-uart" : ""));
      Link(device / "subsystem", "sys/bus/usb-serial");
    }
    Tty(device, tty);
    // The char device numbers: ttyUSB are major 188, ttyACM 166.
    const auto digits = tty.find_last_not_of("0123456789") + 1;
    Write(root_ / "sys/class/tty" / tty / "dev",
          (driver == "cdc_acm" ? "166:" : "188:") + tty.substr(digits));
    // Two adapters alike and without a serial number share one name, which
    // leads to one of them, as udev leaves it.
    const std::string by_id = "usb-" + product + (serial.empty() ? "" : "_" + serial) + "-if00";
    const Path link = Dir("dev/serial/by-id") / by_id;
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_symlink("../../" + tty, link);
  }

  // A tty of the kernel's own with no device behind it: a virtual console
  // (tty1), the pseudo-terminal multiplexer (ptmx), the console (console).
  void VirtualTty(const std::string& name) {
    const Path tty = Dir("sys/devices/virtual/tty/" + name);
    std::filesystem::create_symlink(tty, root_ / "sys/class/tty" / name);
    Write(Dir("dev") / name, "");
  }

  // A USB serial adapter with no tty behind it: its interface has
  // `interface_driver` ("" none, "usbfs" a program through libusb).
  // Returns its node, "/dev/bus/usb/001/NNN".
  std::string AdapterWithoutPort(const std::string& port, const std::string& id,
                                 const std::string& interface_driver, bool cdc_acm = false) {
    UsbDevice(port, id, "", "USB Serial", interface_driver, cdc_acm);
    return "/dev/bus/usb/00" + port.substr(0, 1) + "/" + DevNum(port);
  }

  // A process with `name` that has `devices` open (system paths).
  void Process(long pid, const std::string& name, const std::vector<std::string>& devices) {
    const Path process = Dir("proc/" + std::to_string(pid));
    Write(process / "comm", name);
    int fd = 3;
    for (const std::string& device : devices) {
      std::filesystem::create_symlink(device, Dir(process / "fd") / std::to_string(fd++));
    }
    Dir(process / "fd");
  }

  // udev's database entry for a tty with one property ("ID_MM_DEVICE_IGNORE=1").
  void UdevProperty(const std::string& tty, const std::string& property) {
    std::ifstream numbers(root_ / "sys/class/tty" / tty / "dev");
    std::string dev;
    std::getline(numbers, dev);
    std::ofstream(Dir("run/udev/data") / ("c" + dev), std::ios::app) << "E:" << property << '\n';
  }

  const std::filesystem::path& root() const { return root_; }
  // Where the program finds this system's files; no COMn named.
  SystemPlaces places() const {
    SystemPlaces places;
    places.root = root_.string();
    return places;
  }

 private:
  using Path = std::filesystem::path;
  Path Dir(const Path& path) {
    const Path full = path.is_absolute() ? path : root_ / path;
    std::filesystem::create_directories(full);
    return full;
  }
  void Link(const Path& link, const std::string& target) {
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_symlink(Dir(target), link);
  }
  static void Write(const Path& file, const std::string& line) {
    std::ofstream(file) << line << '\n';
  }
  // The tty class device below `device`, its /sys/class/tty entry and its node.
  Path Tty(const Path& device, const std::string& name) {
    const Path tty = Dir(device / "tty" / name);
    std::filesystem::create_symlink(device, tty / "device");
    std::filesystem::create_symlink(tty, root_ / "sys/class/tty" / name);
    Write(Dir("dev") / name, "");
    return tty;
  }

  // The USB device in `port` and its first interface, bound to `driver`;
  // returns the interface.
  Path UsbDevice(const std::string& port, const std::string& id, const std::string& serial,
                 const std::string& product, const std::string& driver, bool cdc_acm) {
    const Path usb =
        Dir("sys/devices/pci0000:00/0000:00:14.0/usb" + port.substr(0, 1) + "/" + port);
    Write(usb / "idVendor", id.substr(0, 4));
    Write(usb / "idProduct", id.substr(5));
    if (!serial.empty()) Write(usb / "serial", serial);
    Write(usb / "product", product);
    Write(usb / "busnum", port.substr(0, 1));
    Write(usb / "devnum", DevNum(port));
    std::filesystem::create_symlink(usb, root_ / "sys/bus/usb/devices" / port);
    const Path interface = Dir(usb / (port + ":1.0"));
    Write(interface / "bInterfaceClass", cdc_acm ? "02" : "ff");
    Write(interface / "bInterfaceSubClass", cdc_acm ? "02" : "00");
    if (!driver.empty()) Link(interface / "driver", "sys/bus/usb/drivers/" + driver);
    Link(interface / "subsystem", "sys/bus/usb");
    return interface;
  }
  // A device number for the socket, the same each time: "1-1.4" -> "014".
  static std::string DevNum(const std::string& port) {
    std::string digits;
    for (char c : port.substr(2)) {
      if (c >= '0' && c <= '9') digits += c;
    }
    return std::string(3 - std::min<std::size_t>(digits.size(), 3), '0') + digits.substr(0, 3);
  }

  Path root_;
};

}  // namespace fwdl::testing
