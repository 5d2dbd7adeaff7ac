// POSIX side of the console front end: a self-pipe wakes poll() on
// Ctrl-C, and the serial ports come from sysfs and /dev/serial/by-id.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "console_os.h"
#include "platform/serial_port.h"

namespace fwdl::console {
namespace {

volatile std::sig_atomic_t interrupts = 0;
int wake_pipe[2] = {-1, -1};
struct sigaction port_release[NSIG];  // the platform's: closes the port and ends

void OnInterrupt(int signal) {
  if (interrupts > 0) {
    // The second Ctrl-C: the user means it. The platform's handler closes
    // the port, lifting its exclusive use, and ends the program.
    if (port_release[signal].sa_handler != SIG_DFL && port_release[signal].sa_handler != SIG_IGN) {
      port_release[signal].sa_handler(signal);
    }
    _exit(128 + signal);
  }
  interrupts = 1;
  const char byte = 0;
  (void)!write(wake_pipe[1], &byte, 1);
}

namespace fs = std::filesystem;

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Canonical(const fs::path& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? path.string() : real.string();
}

// "USB 0403:6001 serial A1B2 USB UART", from the USB device
// that the tty hangs under, if any.
std::string UsbIdentity(const fs::path& tty_device) {
  std::error_code error;
  for (fs::path p = fs::canonical(tty_device, error); !error && p.has_relative_path();
       p = p.parent_path()) {
    if (!fs::exists(p / "idVendor")) continue;
    std::string about = "USB " + ReadLine(p / "idVendor") + ":" + ReadLine(p / "idProduct");
    if (const std::string serial = ReadLine(p / "serial"); !serial.empty()) {
      about += " serial " + serial;
    }
    for (const char* name : {"manufacturer", "product"}) {
      if (const std::string text = ReadLine(p / name); !text.empty()) about += " " + text;
    }
    return about;
  }
  return {};
}

}  // namespace

void CatchInterrupts() {
  if (pipe(wake_pipe) != 0) return;
  for (int fd : wake_pipe) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (int fd : wake_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
  ReleasePortOnTermination();
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, &port_release[signal]);
  // A reader of our output that goes away must not end a download midway.
  std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return interrupts > 0; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void Sleep(int ms, bool watch_input) {
  // An interrupt that no Sleep has returned for yet ends this one at once;
  // after that, sleeping goes on as before (the window has handled it).
  static int interrupts_seen = 0;
  if (interrupts > interrupts_seen) {
    interrupts_seen = interrupts;
    return;
  }
  pollfd fds[2] = {{wake_pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  (void)poll(fds, watch_input ? 2 : 1, ms);  // EINTR: an interrupt came
  char drained[16];
  while (read(wake_pipe[0], drained, sizeof drained) > 0) {
  }
}

bool ReadInput(std::string& text) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return true;
  char buffer[256];
  const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
  if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && errno == EINTR);
}

std::string PortName(const std::string& argument) { return argument; }

std::vector<PortInfo> ListPorts() {
  std::map<std::string, PortInfo> ports;  // by device, sorted
  std::error_code error;
  // Hardware ttys only: those with a device behind them. The 8250 driver
  // registers ttyS ports that have no UART; their type is 0.
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", error)) {
    const fs::path sys = entry.path();
    if (!fs::exists(sys / "device")) continue;
    if (fs::exists(sys / "type") && ReadLine(sys / "type") == "0") continue;
    const std::string device = "/dev/" + sys.filename().string();
    std::error_code no_driver;
    PortInfo info{device, fs::canonical(sys / "device" / "driver", no_driver).filename().string()};
    if (const std::string usb = UsbIdentity(sys / "device"); !usb.empty()) info.about += ", " + usb;
    ports[device] = info;
  }
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
    const std::string device = Canonical(entry.path());
    if (ports.count(device)) ports[device].about += ", " + entry.path().string();
  }
  // The port names that lead to each device, FWDL_COMn mappings included,
  // also those to devices that sysfs does not list (a pseudo-terminal).
  for (int n = 1; n <= 8; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const std::string device = Canonical(PortDevice(name));
    if (!ports.count(device) && !std::getenv(("FWDL_" + name).c_str())) continue;
    if (!fs::exists(device)) continue;
    PortInfo& info = ports[device];
    info.device = device;
    info.about += std::string(info.about.empty() ? "" : ", ") + name;
  }
  std::vector<PortInfo> list;
  for (auto& [device, info] : ports) list.push_back(info);
  return list;
}

}  // namespace fwdl::console
