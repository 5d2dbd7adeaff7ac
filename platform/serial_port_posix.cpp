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
#include <memory>
#include <utility>
#include <system_error>

#include "port_remedy.h"
#include "raw_port.h"
#include "serial_port.h"
#include "setup_calls.h"

namespace fwdl {
namespace {

// The descriptor of the port opened last, for the termination handler.
volatile std::sig_atomic_t open_port_fd = -1;

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

// One call that opens or sets up a port: `call` made, true when it did
// what it should; false with errno set when it failed, or when a test's
// fake failed it in its place (setup_calls.h).
template <typename Call>
bool Made(const char* name, Call call) {
  if (const int code = SetupCallFault(name)) {
    errno = code;
    return false;
  }
  return call();
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

// One open device: its descriptor, non-blocking, so that a write held by
// XOFF comes back to the caller, which waits for room in poll() for a
// bounded time.
class PosixPort final : public NativePort {
 public:
  explicit PosixPort(int fd) : fd_(fd) { open_port_fd = fd; }
  ~PosixPort() override {
    if (open_port_fd == fd_) open_port_fd = -1;
    // Exclusive mode outlives our descriptor while anyone else keeps the
    // device open (the simulated instrument keeps its pseudo-terminal
    // open); lift it so that the port can be chosen again.
    (void)ioctl(fd_, TIOCNXCL);
    (void)close(fd_);
  }
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  PortResult Waiting() override {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) < 0 && errno != EINTR) return Failed(0, IoError(errno));
    if (HungUp(p.revents)) return Failed(0, IoError(EIO));
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return Failed(0, IoError(errno));
    return {static_cast<std::uint32_t>(std::max(waiting, 0)), {}};
  }

  PortResult Read(void* data, std::uint32_t count) override {
    for (;;) {
      const ssize_t got = read(fd_, data, count);
      if (got > 0) return {static_cast<std::uint32_t>(got), {}};
      if (got == 0 || errno == EAGAIN) return {};
      if (errno != EINTR) return Failed(0, IoError(errno));
    }
  }

  PortResult Write(const void* data, std::uint32_t count, Clock::time_point until) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t written = 0;
    while (written < count) {
      const ssize_t n = write(fd_, bytes + written, count - written);
      if (n > 0) {
        written += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // Any error but a full queue leaves the port unwritable.
      if (n < 0 && errno != EAGAIN) return Failed(written, IoError(errno));
      // The line is held (or the output queue is full): wait for room.
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
        return Failed(written, IoError(errno));
      }
      if (HungUp(p.revents)) return Failed(written, IoError(EIO));
    }
    return {written, {}};
  }

  std::uint32_t OutputQueued() override {
    int queued = 0;
    return ioctl(fd_, TIOCOUTQ, &queued) == 0 ? static_cast<std::uint32_t>(std::max(queued, 0)) : 0;
  }

  PortError WaitForInput(Clock::time_point until) override {
    const auto wait = std::max(until - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd p{fd_, POLLIN, 0};
    if (ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR) return IoError(errno);
    if (HungUp(p.revents)) return IoError(EIO);
    return {};
  }

  PortError GetState(LineSettings& settings) override;
  PortError SetState(const LineSettings& settings, bool driver_keeps_flow) override;
  void ResumeOutput() override;

 private:
  const int fd_;
};

PortError PosixPort::GetState(LineSettings& settings) {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return IoError(errno);
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

PortError PosixPort::SetState(const LineSettings& s, bool driver_keeps_flow) {
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
  // XoffLim have no counterpart here. Where the program keeps XON/XOFF
  // itself, the kernel must let both reach it: no IXON.
  t.c_iflag &= ~(IXON | IXOFF);
  if (s.fOutX && driver_keeps_flow) t.c_iflag |= IXON;
  if (s.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);

  // A read returns at once with whatever is waiting.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  speed_t speed{};
  if (!SpeedCode(s.BaudRate, speed)) return Error(Kind::kOther, EINVAL);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return IoError(errno);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return IoError(errno);

  // Modem lines. A device without them, such as a pseudo-terminal, refuses
  // this; that is no error.
  const int dtr_rts = (s.fDtrControl == kDtrControlEnable ? TIOCM_DTR : 0) |
                      (s.fRtsControl == kRtsControlEnable ? TIOCM_RTS : 0);
  if (dtr_rts != 0) (void)ioctl(fd_, TIOCMBIS, &dtr_rts);
  return {};
}

void PosixPort::ResumeOutput() {
  // tcflow(TCOON) only undoes a TCOOFF; output stopped by a received XOFF
  // is restarted by Linux when IXON is switched off, so switch it off and on.
  (void)tcflow(fd_, TCOON);
  termios t{};
  if (tcgetattr(fd_, &t) != 0 || !(t.c_iflag & IXON)) return;
  termios off = t;
  off.c_iflag &= ~IXON;
  (void)tcsetattr(fd_, TCSANOW, &off);
  (void)tcsetattr(fd_, TCSANOW, &t);
}

}  // namespace

std::unique_ptr<NativePort> OpenNativePort(const std::string& name, const SystemPlaces& places,
                                           PortError& error, SerialDevice& described) {
  const std::string device = PortDevice(name, places);
  if (device.empty()) {
    error = {Kind::kNoSuchDevice, "no serial device behind " + name,
             PortRemedy(Kind::kNoSuchDevice, device, places)};
    return nullptr;
  }
  int fd = -1;
  auto refuse = [&](int code) {
    if (fd >= 0) close(fd);
    error = OpenError(code);
    error.remedy = PortRemedy(error.kind, device, places);
    return nullptr;
  };
  // O_NONBLOCK so that opening never waits for carrier; it stays so.
  if (!Made("open", [&] {
        fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
      })) {
    return refuse(errno);
  }
  // A mapping to a regular file or a directory must never receive firmware.
  if (!Made("isatty", [&] { return isatty(fd) == 1 || (errno = ENOTTY, false); })) {
    return refuse(errno);
  }
  // TIOCEXCL keeps other users' programs out, but it does not stop root, so
  // the flock is what refuses a second program in every case.
  if (!Made("TIOCEXCL", [&] { return ioctl(fd, TIOCEXCL) == 0; })) return refuse(errno);
  if (!Made("flock", [&] { return flock(fd, LOCK_EX | LOCK_NB) == 0; })) return refuse(errno);
  described = DescribeDevice(device, places);
  return std::make_unique<PosixPort>(fd);
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
