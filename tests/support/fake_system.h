// A fake sysfs and /dev in a temporary folder, shaped as the kernel and
// udev make them, for finding serial devices: FWDL_SYSTEM_ROOT points there
// while it lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "env_guard.h"

namespace fwdl::testing {

class FakeSystem {
 public:
  FakeSystem() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwdl-root-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    Dir("sys/class/tty");
    root_set_.emplace("FWDL_SYSTEM_ROOT", root_.string());
  }
  ~FakeSystem() {
    root_set_.reset();
    std::filesystem::remove_all(root_);
  }
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
    const Path usb =
        Dir("sys/devices/pci0000:00/0000:00:14.0/usb" + port.substr(0, 1) + "/" + port);
    Write(usb / "idVendor", id.substr(0, 4));
    Write(usb / "idProduct", id.substr(5));
    if (!serial.empty()) Write(usb / "serial", serial);
    Write(usb / "product", product);
    Path device = Dir(usb / (port + ":1.0"));
    Link(device / "driver", "sys/bus/usb/drivers/" + driver);
    Link(device / "subsystem", "sys/bus/usb");
    if (driver != "cdc_acm") {
      device = Dir(device / tty);
      Link(device / "driver",
           "sys/bus/usb-serial/drivers/" + driver + (driver == "ch341" ? "-uart" : ""));
      Link(device / "subsystem", "sys/bus/usb-serial");
    }
    Tty(device, tty);
    const std::string by_id = "usb-" + product + (serial.empty() ? "" : "_" + serial) + "-if00";
    std::filesystem::create_symlink("../../" + tty, Dir("dev/serial/by-id") / by_id);
  }

  // A tty of the kernel's own with no device behind it: a virtual console
  // (tty1), the pseudo-terminal multiplexer (ptmx), the console (console).
  void VirtualTty(const std::string& name) {
    const Path tty = Dir("sys/devices/virtual/tty/" + name);
    std::filesystem::create_symlink(tty, root_ / "sys/class/tty" / name);
    Write(Dir("dev") / name, "");
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

  Path root_;
  std::optional<EnvGuard> root_set_;
};

}  // namespace fwdl::testing
