// POSIX side of the console front end: a self-pipe wakes poll() on
// Ctrl-C; the serial ports are those the platform finds.
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "console_os.h"
#include "platform/serial_devices.h"
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

std::vector<PortInfo> ListPorts(const SystemPlaces& places) {
  std::vector<SerialDevice> devices = SerialDevicesPresent(places);
  // Also what only a FWDL_COMn mapping leads to, such as a pseudo-terminal.
  for (int n = 1; n <= 8; ++n) {
    const auto mapped = places.com.find(n);
    if (mapped == places.com.end() || mapped->second.empty() ||
        !std::filesystem::exists(mapped->second)) {
      continue;
    }
    SerialDevice device = DescribeDevice(mapped->second, places);
    if (std::none_of(devices.begin(), devices.end(),
                     [&](const SerialDevice& d) { return d.device == device.device; })) {
      devices.push_back(std::move(device));
    }
  }
  std::vector<PortInfo> list;
  for (const SerialDevice& device : devices) {
    PortInfo info{device.device, {}, device, {}, {}};
    for (int n = 1; n <= 8; ++n) {
      const std::string name = "COM" + std::to_string(n);
      const std::string leads_to = PortDevice(name, places);
      if (!leads_to.empty() && DescribeDevice(leads_to, places).device == device.device) {
        info.about += name + ", ";
        info.com.push_back(name);
      }
    }
    info.about += AdapterSummary(device);
    for (const std::string& link : device.by_id) info.about += ", " + link;
    list.push_back(std::move(info));
  }
  return list;
}

bool RandomBytes(unsigned char* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = getrandom(out + done, count - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace fwdl::console
