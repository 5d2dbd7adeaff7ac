// The Windows serial backend under Wine, seen from the instrument's side: a
// pseudo-terminal that the Wine prefix maps to COM3, and port_probe.exe
// working the backend on command. Runs in the Wine session of
// tests/wine/wine-session (WINEPREFIX, WINE in the environment).
//
// A port held by another program is not among them: Wine lets a second
// CreateFileA open a serial device that is open already, whatever the share
// mode, where Windows' serial driver refuses it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "support/pty.h"

extern char** environ;

namespace {

using fwdl::testing::Pty;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// port_probe.exe under Wine, its standard input and output on pipes.
class Probe {
 public:
  Probe() {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, to[1]);
    posix_spawn_file_actions_addclose(&actions, from[0]);
    std::string wine = Env("WINE"), probe = PORT_PROBE_PATH;
    char* argv[] = {wine.data(), probe.data(), nullptr};
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to[0]);
    close(from[1]);
    in_ = to[1];
    out_ = from[0];
    if (failed != 0) throw std::runtime_error("cannot start " + wine);
  }
  ~Probe() {
    Say("quit");
    close(in_);
    if (!ReadLine(5000)) kill(pid_, SIGKILL);  // the end of its output: it has quit
    waitpid(pid_, nullptr, 0);
    close(out_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  void Say(const std::string& command) {
    const std::string line = command + "\n";
    (void)!write(in_, line.data(), line.size());
  }
  std::string Ask(const std::string& command) {
    Say(command);
    return ReadLine(15000).value_or("(no answer)");
  }
  // The next answer, or nothing within `timeout_ms`.
  std::optional<std::string> ReadLine(int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char buffer[256];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;
};

// Maps a port name of the prefix ("com3") to a device path.
class Mapping {
 public:
  Mapping(const std::string& name, const std::string& target)
      : link_(std::filesystem::path(Env("WINEPREFIX")) / "dosdevices" / name) {
    std::filesystem::remove(link_);
    std::filesystem::create_symlink(target, link_);
  }
  ~Mapping() { std::filesystem::remove(link_); }

 private:
  std::filesystem::path link_;
};

// With XON/XOFF kept by the driver, as on a UART or an FTDI adapter, and by
// the program, as on a CH340 or a CDC-ACM device.
class Win32Port : public ::testing::TestWithParam<std::string> {
 protected:
  bool by_driver() const { return GetParam() == "kernel"; }
  std::string Open() { return "open COM3 " + GetParam(); }
  Pty pty;
  Mapping com3{"com3", pty.path};
};

TEST_P(Win32Port, TheInstrumentSeesTheProgramsLineSettings) {
  Probe probe;
  ASSERT_EQ(probe.Ask(Open()), "opened " + GetParam());
  ASSERT_EQ(probe.Ask("setup"), "set");

  // Read on the program's end of the line, as the instrument's driver has it.
  const int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_EQ(cfgetispeed(&t), B57600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ((t.c_iflag & IXON) != 0, by_driver())
      << "the driver must act on XOFF where it keeps XON/XOFF, and hand it up where the program does";
  EXPECT_TRUE(t.c_iflag & IXOFF) << "the program must hold the instrument with XOFF";
  EXPECT_FALSE(t.c_iflag & IXANY) << "any byte from the instrument would resume the output";
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
}

TEST_P(Win32Port, AnXoffHoldsTheWritesWithNothingLost) {
  Probe probe;
  ASSERT_EQ(probe.Ask(Open()), "opened " + GetParam());
  ASSERT_EQ(probe.Ask("setup"), "set");
  pty.Send("\x13");
  // The line discipline acts on received bytes a moment later.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  probe.Say("write 3000");
  EXPECT_EQ(pty.Receive(1, 1500), "") << "bytes went out while the line was held";
  EXPECT_EQ(probe.ReadLine(0), std::nullopt) << "the write ended while the line was held";

  pty.Send("\x11");
  std::string expected(3000, ' ');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(pty.Receive(expected.size(), 10000), expected);
  EXPECT_EQ(probe.ReadLine(10000), "wrote 3000");
}

INSTANTIATE_TEST_SUITE_P(KeptBy, Win32Port, ::testing::Values("kernel", "program"));

// The descriptors that other processes (Wine's) have open on `device`.
int OpenElsewhere(const std::string& device) {
  int count = 0;
  std::error_code error;
  const std::string self = std::to_string(getpid());
  for (std::filesystem::directory_iterator process("/proc", error), end; !error && process != end;
       process.increment(error)) {
    if (process->path().filename() == self) continue;
    std::error_code unreadable;
    for (std::filesystem::directory_iterator fd(process->path() / "fd", unreadable), none;
         !unreadable && fd != none; fd.increment(unreadable)) {
      std::error_code gone;
      count += std::filesystem::read_symlink(fd->path(), gone) == device;
    }
  }
  return count;
}

// Waits (5 s at most) until Wine has `count` descriptors open on `device`;
// how many it has then.
int WaitForOpenElsewhere(const std::string& device, int count) {
  int open = OpenElsewhere(device);
  for (int i = 0; i < 100 && open != count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    open = OpenElsewhere(device);
  }
  return open;
}

// Each call that opens a port, failed in turn: the port is refused with
// that call's reason, and its handle is closed again.
TEST(Win32PortSetup, EachSetupCallThatFailsRefusesThePortAndClosesIt) {
  const std::pair<std::string, int> kCalls[] = {{"CreateFileA", 5 /* ERROR_ACCESS_DENIED */},
                                                {"SetCommTimeouts", 31 /* ERROR_GEN_FAILURE */}};
  Pty pty;
  Mapping com3{"com3", pty.path};
  Probe probe;
  ASSERT_EQ(probe.Ask("fail - 0"), "ready");
  ASSERT_EQ(probe.Ask("open COM3 kernel"), "opened kernel");
  ASSERT_GT(OpenElsewhere(pty.path), 0) << "the open port is not seen";
  std::string table = "asked";
  for (const auto& [call, code] : kCalls) table += " " + call;
  EXPECT_EQ(probe.Ask("asked"), table) << "a call that opens a port is missing from the table";
  ASSERT_EQ(probe.Ask("close"), "closed");
  // What Wine keeps open of a port whose handle was closed: none on
  // Windows, some under Wine, which keeps descriptors of its own.
  const int closed = OpenElsewhere(pty.path);
  for (const auto& [call, code] : kCalls) {
    ASSERT_EQ(probe.Ask("fail " + call + " " + std::to_string(code)), "ready");
    EXPECT_EQ(probe.Ask("open COM3 kernel"), "failed " + probe.Ask("message " + std::to_string(code)))
        << call;
    EXPECT_EQ(WaitForOpenElsewhere(pty.path, closed), closed)
        << call << " failed, and the port stays open";
  }
}

TEST(Win32PortNames, APortLeadingNowhereIsRefused) {
  Mapping com8{"com8", "/nonexistent/fwdl-no-such-device"};
  Probe probe;
  EXPECT_EQ(probe.Ask("open COM8 auto").rfind("failed ", 0), 0u);
}

}  // namespace
