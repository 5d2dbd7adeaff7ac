// A pseudo-terminal pair for tests: the program opens `path`, the test
// plays the instrument on `master`.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

namespace fwdl::testing {

// Whether `device` is held exclusively (TIOCEXCL), as the next program finds
// it: one that is not root cannot open it, root's can and ask.
inline bool HeldExclusively(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY;
  int held = 0;
  ioctl(fd, TIOCGEXCL, &held);
  close(fd);
  return held != 0;
}

class Pty {
 public:
  Pty() {
    int program_end = -1;
    if (openpty(&master, &program_end, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    path = ttyname(program_end);
    // Kept open so that the master never sees a hang-up between openings.
    keep_open_ = program_end;
  }
  ~Pty() {
    close(keep_open_);
    close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // The line settings of the program's end, as the program left them.
  termios Settings() const {
    termios t{};
    if (tcgetattr(keep_open_, &t) != 0) throw std::runtime_error("tcgetattr failed");
    return t;
  }

  void Send(const std::string& bytes) const {
    if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("pty write failed");
    }
  }
  // Writes what the program's side takes within `timeout_ms` and returns how
  // much that was: a flood must not wait for ever on a side that stops reading.
  std::size_t SendWithin(const std::string& bytes, int timeout_ms) const {
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    std::size_t sent = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (sent < bytes.size() && std::chrono::steady_clock::now() < until) {
      const ssize_t n = write(master, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    fcntl(master, F_SETFL, flags);
    return sent;
  }
  // Reads until `count` bytes have come or `timeout_ms` has passed.
  std::string Receive(std::size_t count, int timeout_ms = 2000) const {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  int master = -1;
  std::string path;

 private:
  int keep_open_ = -1;
};

}  // namespace fwdl::testing
