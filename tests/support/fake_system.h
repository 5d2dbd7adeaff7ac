// A fake sysfs and /dev in a temporary folder, shaped as the kernel and
// udev make them, for finding serial devices: FWDL_SYSTEM_ROOT points there
// while it lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fwdl::testing {

class FakeSystem {
 public:
  FakeSystem() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwdl-root-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "sys/class/tty");
    std::filesystem::create_directories(root_ / "dev");
    setenv("FWDL_SYSTEM_ROOT", root_.c_str(), 1);
  }
  ~FakeSystem() {
    unsetenv("FWDL_SYSTEM_ROOT");
    std::filesystem::remove_all(root_);
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  // ttySn of the 8250 driver; `type` 0: no UART behind it. Since kernel
  // 6.5 a serial-base port device sits between the tty and the UART.
  void Uart(int n, int type, bool serial_base = true) {
    const std::string name = "ttyS" + std::to_string(n);
    const Path platform = Dir("sys/devices/platform/serial8250");
    Link(platform / "driver", "sys/bus/platform/drivers/serial8250");
    Link(platform / "subsystem", "sys/bus/platform");
    Path device = platform;
    if (serial_base) {
      const Path ctrl = Dir(platform / "serial8250:0");
      Link(ctrl / "subsystem", "sys/bus/serial-base");
      device = Dir(ctrl / ("serial8250:0." + std::to_string(n)));
      Link(device / "subsystem", "sys/bus/serial-base");
      Link(device / "driver", "sys/bus/serial-base/drivers/port");
    }
    Write(Tty(device, name) / "type", std::to_string(type));
  }

  // A USB adapter plugged into `port` ("1-1.4"): a usb-serial driver makes
  // ttyUSBn, cdc_acm ttyACMn.
  void Adapter(const std::string& tty, const std::string& port, const std::string& driver,
               const std::string& id, const std::string& serial, const std::string& product,
               const std::string& manufacturer = "") {
    // usb1/1-1/1-1.4: the hubs on the way are parents.
    Path usb = Dir("sys/devices/pci0000:00/0000:00:14.0/usb" + port.substr(0, port.find('-')));
    for (std::size_t dot = port.find('.'); dot != std::string::npos;
         dot = port.find('.', dot + 1)) {
      usb /= port.substr(0, dot);
    }
    usb = Dir(usb / port);
    Write(usb / "idVendor", id.substr(0, 4));
    Write(usb / "idProduct", id.substr(5));
    if (!serial.empty()) Write(usb / "serial", serial);
    if (!manufacturer.empty()) Write(usb / "manufacturer", manufacturer);
    Write(usb / "product", product);
    const Path interface = Dir(usb / (port + ":1.0"));
    Link(interface / "driver", "sys/bus/usb/drivers/" + driver);
    Link(interface / "subsystem", "sys/bus/usb");
    Path device = interface;
    if (driver != "cdc_acm") {
      device = Dir(interface / tty);
      // The usb-serial layer's own name for the driver can differ.
      Link(device / "driver",
           "sys/bus/usb-serial/drivers/" + (driver == "ch341" ? "ch341-uart" : driver));
      Link(device / "subsystem", "sys/bus/usb-serial");
    }
    Tty(device, tty);
    const std::string by_id = "usb-" + (manufacturer.empty() ? "" : manufacturer + "_") + product +
                              (serial.empty() ? "" : "_" + serial) + "-if00-port0";
    Dir("dev/serial/by-id");
    std::filesystem::create_symlink("../../" + tty, root_ / "dev/serial/by-id" / by_id);
  }

 private:
  using Path = std::filesystem::path;
  Path Dir(const Path& path) {
    const Path full = path.is_absolute() ? path : root_ / path;
    std::filesystem::create_directories(full);
    return full;
  }
  void Link(const Path& link, const std::string& target) {
    Dir(target);
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_symlink(root_ / target, link);
  }
  static void Write(const Path& file, const std::string& line) {
    std::ofstream(file) << line << '\n';
  }
  // The tty class device below `device`, its /sys/class/tty entry and its node.
  Path Tty(const Path& device, const std::string& name) {
    const Path tty = Dir(device / "tty" / name);
    std::filesystem::create_symlink(device, tty / "device");
    Link(tty / "subsystem", "sys/class/tty");
    std::filesystem::create_symlink(tty, root_ / "sys/class/tty" / name);
    Write(root_ / "dev" / name, "");
    return tty;
  }

  Path root_;
};

}  // namespace fwdl::testing
