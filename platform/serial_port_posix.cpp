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
#include <cstring>
#include <system_error>

#include "serial_port.h"

namespace fwdl {
namespace {

thread_local int last_error = 0;

// The descriptor of the port opened last, for the termination handler.
volatile std::sig_atomic_t open_port_fd = -1;

int Fd(PortHandle port) { return static_cast<int>(port); }

// Remembers errno as the reason of the failure that the caller reports.
bool Fail(int error = errno) {
  last_error = error;
  return false;
}

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

// The errors of a device that has gone: an unplugged adapter (EIO after
// the hang-up, ENXIO/ENODEV), or a pseudo-terminal whose other end closed.
bool Gone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }

// A hang-up or error condition on the descriptor.
bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

PortResult Lost(int error) {
  Fail(error);
  return {0, true};
}

}  // namespace

PortHandle SystemSerialPorts::Open(const std::string& name) {
  const std::string device = PortDevice(name);
  // O_NONBLOCK so that opening never waits for carrier; cleared below.
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return kInvalidPortHandle;
  }
  auto refuse = [fd](int error) {
    close(fd);
    Fail(error);
    return kInvalidPortHandle;
  };
  // A mapping to a regular file or a directory must never receive firmware.
  if (!isatty(fd)) return refuse(ENOTTY);
  // TIOCEXCL keeps other users' programs out, but it does not stop root, so
  // the flock is what refuses a second program in every case.
  if (ioctl(fd, TIOCEXCL) != 0) return refuse(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
  // The descriptor stays non-blocking: a write held by XOFF must come back
  // to the caller, which waits for room in poll() for a bounded time.
  open_port_fd = fd;
  return fd;
}

bool SystemSerialPorts::GetState(PortHandle port, LineSettings& settings) {
  termios t{};
  if (tcgetattr(Fd(port), &t) != 0) return Fail();
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
  return true;
}

bool SystemSerialPorts::SetState(PortHandle port, const LineSettings& s) {
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
    default: return Fail(EINVAL);
  }
  switch (s.Parity) {
    case kNoParity: break;
    case 1: t.c_cflag |= PARENB | PARODD; break;  // ODDPARITY
    case 2: t.c_cflag |= PARENB; break;           // EVENPARITY
    default: return Fail(EINVAL);
  }
  switch (s.StopBits) {
    case kOneStopBit: break;
    case 2: t.c_cflag |= CSTOPB; break;  // TWOSTOPBITS
    default: return Fail(EINVAL);
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
  if (s.fOutX) t.c_iflag |= IXON;
  if (s.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);

  // A read returns at once with whatever is waiting.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  speed_t speed{};
  if (!SpeedCode(s.BaudRate, speed)) return Fail(EINVAL);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return Fail();
  if (tcsetattr(Fd(port), TCSANOW, &t) != 0) return Fail();

  // Modem lines. A device without them, such as a pseudo-terminal, refuses
  // this; that is no error.
  const int dtr_rts = (s.fDtrControl == kDtrControlEnable ? TIOCM_DTR : 0) |
                      (s.fRtsControl == kRtsControlEnable ? TIOCM_RTS : 0);
  if (dtr_rts != 0) (void)ioctl(Fd(port), TIOCMBIS, &dtr_rts);
  return true;
}

PortResult SystemSerialPorts::WaitingCount(PortHandle port) {
  pollfd p{Fd(port), POLLIN, 0};
  if (poll(&p, 1, 0) < 0 && errno != EINTR) return Lost(errno);
  if (HungUp(p.revents)) return Lost(EIO);
  int waiting = 0;
  if (ioctl(Fd(port), FIONREAD, &waiting) != 0) {
    if (Gone(errno)) return Lost(errno);
    Fail();
    return {};
  }
  return {static_cast<std::uint32_t>(std::max(waiting, 0)), false};
}

PortResult SystemSerialPorts::Read(PortHandle port, void* data, std::uint32_t count) {
  if (count == 0) return {};
  for (;;) {
    const ssize_t got = read(Fd(port), data, count);
    if (got >= 0) return {static_cast<std::uint32_t>(got), false};
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return {};
    if (Gone(errno)) return Lost(errno);
    Fail();
    return {};
  }
}

PortResult SystemSerialPorts::Write(PortHandle port, const void* data, std::uint32_t count,
                                    int wait_ms) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  PortResult result;
  while (result.count < count) {
    const ssize_t n = write(Fd(port), bytes + result.count, count - result.count);
    if (n > 0) {
      result.count += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return {result.count, Lost(errno).lost};
    // The line is held (or the output queue is full): wait for room.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{Fd(port), POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return {result.count, Lost(errno).lost};
    if (HungUp(p.revents)) return {result.count, Lost(EIO).lost};
  }
  return result;
}

void SystemSerialPorts::ResumeOutput(PortHandle port) {
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

std::string LastSystemError() { return std::system_category().message(last_error); }

}  // namespace fwdl
