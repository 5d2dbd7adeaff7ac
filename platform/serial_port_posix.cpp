// POSIX backend of the serial port operations (termios).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "serial_port.h"

namespace fwdl {
namespace {

thread_local int last_error = 0;

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
  // Writes block until the system has taken the bytes (flow control may
  // hold them); reads never block because they ask only for waiting bytes.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse(errno);
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

std::uint32_t SystemSerialPorts::WaitingCount(PortHandle port) {
  int waiting = 0;
  if (ioctl(Fd(port), FIONREAD, &waiting) != 0 || waiting < 0) {
    Fail();
    return 0;
  }
  return static_cast<std::uint32_t>(waiting);
}

std::uint32_t SystemSerialPorts::Read(PortHandle port, void* data, std::uint32_t count) {
  if (count == 0) return 0;
  // Belt and braces for a port whose settings did not take: a read that
  // could wait is not made at all.
  pollfd p{Fd(port), POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return 0;
  for (;;) {
    const ssize_t got = read(Fd(port), data, count);
    if (got >= 0) return static_cast<std::uint32_t>(got);
    if (errno != EINTR) {
      Fail();
      return 0;
    }
  }
}

std::uint32_t SystemSerialPorts::Write(PortHandle port, const void* data, std::uint32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t written = 0;
  while (written < count) {
    const ssize_t n = write(Fd(port), bytes + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{Fd(port), POLLOUT, 0};
      (void)poll(&p, 1, -1);
    } else {
      Fail(n == 0 ? EIO : errno);
      break;
    }
  }
  return written;
}

void SystemSerialPorts::Close(PortHandle port) {
  // Exclusive mode outlives our descriptor while anyone else keeps the
  // device open (the simulated instrument keeps its pseudo-terminal open);
  // lift it so that the port can be chosen again.
  (void)ioctl(Fd(port), TIOCNXCL);
  (void)close(Fd(port));
}

std::string PortDevice(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return name;
  const std::string digits = name.substr(3);
  if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos ||
      digits[0] == '0') {
    return name;
  }
  if (const char* mapped = std::getenv(("FWDL_" + name).c_str()); mapped && *mapped) return mapped;
  return "/dev/ttyS" + std::to_string(std::stoul(digits) - 1);
}

std::string LastSystemError() { return std::system_category().message(last_error); }

}  // namespace fwdl
