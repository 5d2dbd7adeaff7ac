// POSIX backend of the serial port operations (termios).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <system_error>

#include "serial_port.h"
#include "software_flow.h"

namespace fwdl {
namespace {

// The descriptor of the port opened last, for the termination handler.
volatile std::sig_atomic_t open_port_fd = -1;

int Fd(PortHandle port) { return static_cast<int>(port); }

using Kind = PortError::Kind;

PortError Error(Kind kind, int error) { return {kind, std::system_category().message(error)}; }

// Why a port cannot be opened, from the errno of open() or of the checks
// after it.
PortError OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: return Error(Kind::kNoSuchDevice, error);  // EIO: a ttyS with no UART behind it
    case EBUSY:
    case EWOULDBLOCK: return Error(Kind::kBusy, EBUSY);
    case EACCES:
    case EPERM: return Error(Kind::kPermission, error);
    case ENOTTY:
    case EISDIR: return Error(Kind::kNotSerial, error);
    default: return Error(Kind::kOther, error);
  }
}

// The errors of a device that has gone: an unplugged adapter (EIO after
// the hang-up, ENXIO/ENODEV), or a pseudo-terminal whose other end closed.
PortError IoError(int error) {
  const bool gone = error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
  return Error(gone ? Kind::kGone : Kind::kOther, error);
}

// A hang-up or error condition on the descriptor.
bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

PortResult Failed(std::uint32_t count, PortError error) { return {count, std::move(error)}; }

static_assert(sizeof(termios) <= sizeof(LineSettings::native));

termios& Native(LineSettings& settings) {
  return *reinterpret_cast<termios*>(settings.native.data());
}

struct Speed {
  std::uint32_t baud;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedCode(std::uint32_t baud, speed_t& code) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  }
  return false;
}

std::uint32_t BaudOf(speed_t code) {
  for (const Speed& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

// A port whose XON/XOFF the program keeps: the flow state, and when its
// input and its driver's queue were last looked at (at most once a
// millisecond while writing: often enough to see an XOFF at once, seldom
// enough to cost little when every byte is its own write).
struct ProgramFlow {
  explicit ProgramFlow(std::uint32_t bytes_per_second) : flow(bytes_per_second) {}
  SoftwareFlow flow;
  SoftwareFlow::Clock::time_point drained{}, measured{};
  std::size_t driver_queued = 0;  // as measured, plus what was written since
};
constexpr std::chrono::milliseconds kLookInterval{1};
constexpr std::uint32_t kLineBytesPerSecond = 5760;  // 57600 baud, 10 bits a byte

std::map<int, ProgramFlow> program_flows;  // by descriptor

ProgramFlow* ProgramFlowOf(PortHandle port) {
  const auto it = program_flows.find(Fd(port));
  return it == program_flows.end() ? nullptr : &it->second;
}

// Moves what the device has into the flow's queue; XON and XOFF act on the
// way. Stops when the queue is full (the receive poll takes from it).
PortError Drain(int fd, ProgramFlow& port) {
  port.drained = SoftwareFlow::Clock::now();
  char buffer[4096];
  while (!port.flow.Full()) {
    const std::size_t room = SoftwareFlow::kMostPending - port.flow.pending();
    const ssize_t got = read(fd, buffer, std::min(sizeof buffer, room));
    if (got > 0) {
      port.flow.Received(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0 || errno == EAGAIN) return {};
    if (errno != EINTR) return IoError(errno);
  }
  return {};
}

// The driver's output queue: TIOCOUTQ now and then, and in between what
// was measured plus what was written since.
std::size_t DriverQueued(int fd, ProgramFlow& port, SoftwareFlow::Clock::time_point now) {
  if (now - port.measured >= kLookInterval) {
    int queued = 0;
    port.driver_queued = ioctl(fd, TIOCOUTQ, &queued) == 0 ? static_cast<std::size_t>(std::max(queued, 0)) : 0;
    port.measured = now;
  }
  return port.driver_queued;
}

// Writes while the flow allows it, within `deadline`; waits for an XON or
// for the line to have sent a burst, watching the input all the while.
PortResult WriteWatched(int fd, ProgramFlow& port, const unsigned char* bytes, std::uint32_t count,
                        SoftwareFlow::Clock::time_point deadline) {
  using Clock = SoftwareFlow::Clock;
  std::uint32_t written = 0;
  while (written < count) {
    auto now = Clock::now();
    if (now - port.drained >= kLookInterval) {
      if (PortError error = Drain(fd, port); error.failed()) return Failed(written, error);
    }
    const std::size_t queued = DriverQueued(fd, port, now);
    const std::size_t room = port.flow.Room(now, queued);
    if (room > 0) {
      const ssize_t n = write(fd, bytes + written, std::min<std::size_t>(room, count - written));
      if (n > 0) {
        port.flow.Wrote(now, static_cast<std::size_t>(n));
        port.driver_queued += static_cast<std::size_t>(n);
        written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return Failed(written, IoError(errno));
    }
    // Held, or no room below us: wait for input (an XON) or for room.
    if (now >= deadline) break;
    auto wake = deadline;
    if (!port.flow.held()) {
      wake = std::min(wake, port.flow.NextBurst(now, std::max(queued, port.flow.InFlight(now))));
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                           static_cast<long>(wait.count() % 1'000'000'000)};
    pollfd p{fd, POLLIN, 0};
    if (ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR) return Failed(written, IoError(errno));
    if (HungUp(p.revents)) return Failed(written, IoError(EIO));
    if (p.revents & POLLIN) port.drained = {};  // look at once
    port.measured = {};
  }
  return {written, {}};
}

}  // namespace

OpenResult SystemSerialPorts::Open(const std::string& name) {
  const std::string device = PortDevice(name);
  if (device.empty()) return OpenResult::Refused({Kind::kNoSuchDevice, "no serial device behind " + name});
  // O_NONBLOCK so that opening never waits for carrier; cleared below.
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenResult::Refused(OpenError(errno));
  auto refuse = [fd](int error) {
    close(fd);
    return OpenResult::Refused(OpenError(error));
  };
  // A mapping to a regular file or a directory must never receive firmware.
  if (!isatty(fd)) return refuse(ENOTTY);
  // TIOCEXCL keeps other users' programs out, but it does not stop root, so
  // the flock is what refuses a second program in every case.
  if (ioctl(fd, TIOCEXCL) != 0) return refuse(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno);
  // The descriptor stays non-blocking: a write held by XOFF must come back
  // to the caller, which waits for room in poll() for a bounded time.
  open_port_fd = fd;
  OpenResult opened = OpenResult::Opened(fd);
  const char* forced = std::getenv("FWDL_FLOW");
  if (flow_) {
    opened.flow = *flow_;
    opened.flow_why = "as asked for";
  } else if (forced && (std::strcmp(forced, "kernel") == 0 || std::strcmp(forced, "program") == 0)) {
    opened.flow = std::strcmp(forced, "program") == 0 ? FlowMode::kProgram : FlowMode::kKernel;
    opened.flow_why = std::string("FWDL_FLOW=") + forced;
  } else {
    const SerialDevice described = DescribeDevice(device);
    opened.flow = described.flow;
    opened.flow_why = described.driver.empty() ? "no driver" : "driver " + described.driver;
  }
  if (opened.flow == FlowMode::kProgram) {
    program_flows.insert_or_assign(fd, ProgramFlow(kLineBytesPerSecond));
  }
  return opened;
}

PortError SystemSerialPorts::GetState(PortHandle port, LineSettings& settings) {
  termios t{};
  if (tcgetattr(Fd(port), &t) != 0) return IoError(errno);
  Native(settings) = t;
  settings.BaudRate = BaudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: settings.ByteSize = 5; break;
    case CS6: settings.ByteSize = 6; break;
    case CS7: settings.ByteSize = 7; break;
    default: settings.ByteSize = 8; break;
  }
  settings.Parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : kNoParity;
  settings.StopBits = (t.c_cflag & CSTOPB) ? 2 : kOneStopBit;
  settings.fBinary = !(t.c_oflag & OPOST) && !(t.c_lflag & ICANON);
  settings.fParity = (t.c_iflag & INPCK) != 0;
  settings.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
  settings.fOutX = (t.c_iflag & IXON) != 0;
  settings.fInX = (t.c_iflag & IXOFF) != 0;
  settings.XonChar = static_cast<char>(t.c_cc[VSTART]);
  settings.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return {};
}

PortError SystemSerialPorts::SetState(PortHandle port, const LineSettings& s) {
  LineSettings record = s;
  termios t = Native(record);

  // Raw bytes both ways: nothing translated, stripped or echoed, no
  // signals, no line editing.
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;

  switch (s.ByteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return Error(Kind::kOther, EINVAL);
  }
  switch (s.Parity) {
    case kNoParity: break;
    case 1: t.c_cflag |= PARENB | PARODD; break;  // ODDPARITY
    case 2: t.c_cflag |= PARENB; break;           // EVENPARITY
    default: return Error(Kind::kOther, EINVAL);
  }
  switch (s.StopBits) {
    case kOneStopBit: break;
    case 2: t.c_cflag |= CSTOPB; break;  // TWOSTOPBITS
    default: return Error(Kind::kOther, EINVAL);
  }
  if (s.fParity) {
    t.c_iflag |= INPCK;
  } else {
    t.c_iflag &= ~INPCK;
  }
  if (s.fOutxCtsFlow) t.c_cflag |= CRTSCTS;

  // Software flow control. IXANY must stay off, or any byte from the
  // instrument would resume output that it stopped with XOFF. Linux decides
  // itself when its receive queue calls for XOFF and XON; XonLim and
  // XoffLim have no counterpart here.
  t.c_iflag &= ~(IXON | IXOFF);
  // Where the program keeps XON/XOFF itself, the kernel must let both reach it.
  ProgramFlow* program = ProgramFlowOf(port);
  if (s.fOutX && !program) t.c_iflag |= IXON;
  if (s.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);

  // A read returns at once with whatever is waiting.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  speed_t speed{};
  if (!SpeedCode(s.BaudRate, speed)) return Error(Kind::kOther, EINVAL);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return IoError(errno);
  if (tcsetattr(Fd(port), TCSANOW, &t) != 0) return IoError(errno);

  // Modem lines. A device without them, such as a pseudo-terminal, refuses
  // this; that is no error.
  const int dtr_rts = (s.fDtrControl == kDtrControlEnable ? TIOCM_DTR : 0) |
                      (s.fRtsControl == kRtsControlEnable ? TIOCM_RTS : 0);
  if (dtr_rts != 0) (void)ioctl(Fd(port), TIOCMBIS, &dtr_rts);
  if (program) {
    const unsigned bits = 1 + s.ByteSize + (s.Parity != kNoParity ? 1 : 0) + (s.StopBits == 2 ? 2 : 1);
    program->flow = SoftwareFlow(s.BaudRate / bits);
  }
  return {};
}

PortResult SystemSerialPorts::WaitingCount(PortHandle port) {
  pollfd p{Fd(port), POLLIN, 0};
  if (poll(&p, 1, 0) < 0 && errno != EINTR) return Failed(0, IoError(errno));
  if (HungUp(p.revents)) return Failed(0, IoError(EIO));
  if (ProgramFlow* program = ProgramFlowOf(port)) {
    if (PortError error = Drain(Fd(port), *program); error.failed()) return Failed(0, error);
    return {static_cast<std::uint32_t>(program->flow.pending()), {}};
  }
  int waiting = 0;
  if (ioctl(Fd(port), FIONREAD, &waiting) != 0) return Failed(0, IoError(errno));
  return {static_cast<std::uint32_t>(std::max(waiting, 0)), {}};
}

PortResult SystemSerialPorts::Read(PortHandle port, void* data, std::uint32_t count) {
  if (count == 0) return {};
  if (ProgramFlow* program = ProgramFlowOf(port)) {
    return {static_cast<std::uint32_t>(program->flow.Take(static_cast<char*>(data), count)), {}};
  }
  for (;;) {
    const ssize_t got = read(Fd(port), data, count);
    if (got >= 0) return {static_cast<std::uint32_t>(got), {}};
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {};
    return Failed(0, IoError(errno));
  }
}

PortResult SystemSerialPorts::Write(PortHandle port, const void* data, std::uint32_t count,
                                    int wait_ms) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  if (ProgramFlow* program = ProgramFlowOf(port)) {
    return WriteWatched(Fd(port), *program, bytes, count, deadline);
  }
  std::uint32_t written = 0;
  while (written < count) {
    const ssize_t n = write(Fd(port), bytes + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Any error but a full queue leaves the port unwritable.
    if (n < 0 && errno != EAGAIN) return Failed(written, IoError(errno));
    // The line is held (or the output queue is full): wait for room.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{Fd(port), POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
      return Failed(written, IoError(errno));
    }
    if (HungUp(p.revents)) return Failed(written, IoError(EIO));
  }
  return {written, {}};
}

void SystemSerialPorts::ResumeOutput(PortHandle port) {
  if (ProgramFlow* program = ProgramFlowOf(port)) {
    program->flow.Resume();
    return;
  }
  // tcflow(TCOON) only undoes a TCOOFF; output stopped by a received XOFF
  // is restarted by Linux when IXON is switched off, so switch it off and on.
  (void)tcflow(Fd(port), TCOON);
  termios t{};
  if (tcgetattr(Fd(port), &t) != 0 || !(t.c_iflag & IXON)) return;
  termios off = t;
  off.c_iflag &= ~IXON;
  (void)tcsetattr(Fd(port), TCSANOW, &off);
  (void)tcsetattr(Fd(port), TCSANOW, &t);
}

void SystemSerialPorts::Close(PortHandle port) {
  if (open_port_fd == Fd(port)) open_port_fd = -1;
  program_flows.erase(Fd(port));
  // Exclusive mode outlives our descriptor while anyone else keeps the
  // device open (the simulated instrument keeps its pseudo-terminal open);
  // lift it so that the port can be chosen again.
  (void)ioctl(Fd(port), TIOCNXCL);
  (void)close(Fd(port));
}

void ReleasePortOnTermination() {
  struct sigaction action {};
  action.sa_handler = [](int signal) {
    // Only async-signal-safe calls here: lift the exclusive use, close, and
    // end the way the signal would have ended the program.
    const int fd = open_port_fd;
    if (fd >= 0) {
      (void)ioctl(fd, TIOCNXCL);
      (void)close(fd);
    }
    (void)std::signal(signal, SIG_DFL);
    (void)raise(signal);
  };
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) (void)sigaction(signal, &action, nullptr);
}


}  // namespace fwdl
