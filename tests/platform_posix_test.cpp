// The POSIX serial port on a real pseudo-terminal: the line settings take
// effect, XON/XOFF holds our output without losing any, and a port is ours
// alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <system_error>
#include <thread>

#include "platform/serial_port.h"
#include "platform/software_flow.h"
#include "serial/serial_link.h"
#include "support/failing_setup_call.h"
#include "support/fake_system.h"
#include "support/pty.h"

namespace fwdl {
namespace {

using testing::Com1Options;
using testing::Pty;
using namespace std::chrono_literals;

// COM1 leads to `device`, whose XON/XOFF `mode` keeps.
PortOptions FlowBy(FlowMode mode, const std::string& device) {
  PortOptions options = Com1Options(device);
  options.flow = mode;
  return options;
}

// Waits (5 s at most) until at least `count` received bytes are waiting:
// the tty layer hands what the instrument sent on a moment later.
std::uint32_t WaitForWaiting(SystemSerialPorts& ports, PortHandle port, std::uint32_t count) {
  std::uint32_t waiting = 0;
  for (int i = 0; i < 500 && (waiting = ports.WaitingCount(port).count) < count; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return waiting;
}

// Sends flow-control bytes and waits until they have taken effect: a marker
// behind them is read once everything before it has been handled.
void SendAndSettle(Pty& pty, SystemSerialPorts& ports, PortHandle port, const std::string& bytes) {
  pty.Send(bytes + "M");
  ASSERT_EQ(WaitForWaiting(ports, port, 1), 1u);
  char marker = 0;
  ASSERT_EQ(ports.Read(port, &marker, 1).count, 1u);
  ASSERT_EQ(marker, 'M');
}

// Opens COM1 and sets the program's line up, as a port choice does.
PortHandle OpenConfigured(SystemSerialPorts& ports) {
  const OpenResult opened = ports.Open("COM1");
  EXPECT_FALSE(opened.error.failed()) << opened.error.reason;
  if (opened.handle == kInvalidPortHandle) return opened.handle;
  LineSettings settings;
  EXPECT_FALSE(ports.GetState(opened.handle, settings).failed());
  WriteLineSettings(settings);
  const PortError set = ports.SetState(opened.handle, settings);
  EXPECT_FALSE(set.failed()) << set.reason;
  return opened.handle;
}

TEST(PortDevice, FwdlComMapsItsOwnNameOnly) {
  testing::FakeSystem three_uarts;
  for (int n = 0; n < 3; ++n) three_uarts.Uart(n, 4);
  SystemPlaces places = three_uarts.places();
  EXPECT_EQ(PortDevice("COM3", places), "/dev/ttyS2");
  EXPECT_EQ(PortDevice("COM4", places), "") << "nothing behind COM4";
  EXPECT_EQ(PortDevice("/dev/ttyUSB5", places), "/dev/ttyUSB5");
  EXPECT_EQ(PortDevice("COM0", places), "COM0") << "not a COM name";
  places.com[3] = "/dev/ttyUSB0";
  EXPECT_EQ(PortDevice("COM3", places), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevice("COM2", places), "/dev/ttyS1") << "a mapping is for its own port only";
  places.com[3] = "";
  EXPECT_EQ(PortDevice("COM3", places), "/dev/ttyS2") << "an empty mapping counts as none";
}

TEST(SystemSerialPorts, LineSettingsTakeEffect) {
  Pty pty;
  {  // An earlier program left the line cooked, with IXANY on.
    const int earlier = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    termios cooked{};
    tcgetattr(earlier, &cooked);
    cooked.c_iflag |= IXANY | ICRNL;
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_oflag |= OPOST | ONLCR;
    tcsetattr(earlier, TCSANOW, &cooked);
    close(earlier);
  }
  SystemSerialPorts ports(Com1Options(pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);

  const termios t = pty.Settings();
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_FALSE(t.c_iflag & IXANY) << "any byte from the instrument would resume our output";
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  // Out: a line feed stays one byte, high bytes pass unchanged.
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  const std::string out = "\n:10\r" + high;
  EXPECT_EQ(ports.Write(port, out.data(), static_cast<std::uint32_t>(out.size()), 1000).count,
            out.size());
  EXPECT_EQ(pty.Receive(out.size() + 1, 300), out);

  // In: carriage returns and line feeds arrive as sent, nothing echoed back.
  pty.Send("\r\n>\r" + high);
  EXPECT_EQ(WaitForWaiting(ports, port, 4 + high.size()), 4 + high.size());
  std::string in(400, '\0');
  const std::uint32_t got = ports.Read(port, in.data(), 400).count;
  EXPECT_EQ(in.substr(0, got), "\r\n>\r" + high);
  EXPECT_EQ(pty.Receive(1, 100), "") << "nothing may be echoed to the instrument";

  // A read with nothing waiting returns at once (one that waited would
  // wait here for ever: nothing more comes).
  EXPECT_EQ(ports.WaitingCount(port).count, 0u);
  EXPECT_EQ(ports.Read(port, in.data(), 10).count, 0u);
  ports.Close(port);
}

// XON/XOFF kept by the kernel (as on a UART or an FTDI adapter) and by the
// program (as on the USB adapters whose drivers ignore XOFF) hold our
// output alike.
class FlowModes : public ::testing::TestWithParam<FlowMode> {};

TEST_P(FlowModes, XoffHoldsWritesUntilXonAndNothingIsLost) {
  Pty pty;
  SystemSerialPorts ports(FlowBy(GetParam(), pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);

  SendAndSettle(pty, ports, port, "\x13");  // XOFF: the instrument is busy
  // More than a pseudo-terminal buffers; the program paces itself at the
  // line's rate, so less will do there.
  std::string image(GetParam() == FlowMode::kKernel ? 20000 : 3000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7) % 251);
  std::atomic<int> writes{0};
  auto writer = std::async(std::launch::async, [&] {
    std::uint32_t total = 0;
    while (total < image.size()) {  // a run at a time, as the program writes
      const PortResult r = ports.Write(port, &image[total], std::min<std::uint32_t>(1024, image.size() - total), 20);
      ++writes;
      if (r.lost()) break;
      total += r.count;
    }
    return total;
  });
  // A held write comes back after its wait, again and again, with nothing.
  for (int i = 0; i < 500 && writes < 3; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GE(writes, 3) << "a held write did not come back";
  EXPECT_EQ(pty.Receive(1, 100), "") << "output went on under XOFF";
  EXPECT_EQ(writer.wait_for(0ms), std::future_status::timeout) << "writes must wait, not fail";

  pty.Send("\x11");  // XON
  const std::string received = pty.Receive(image.size(), 5000);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(writer.get(), image.size());
  EXPECT_EQ(received.size(), image.size());
  EXPECT_TRUE(received == image) << "bytes lost or changed under flow control";
  ports.Close(port);
}

INSTANTIATE_TEST_SUITE_P(KernelAndProgram, FlowModes,
                         ::testing::Values(FlowMode::kKernel, FlowMode::kProgram),
                         [](const auto& info) { return std::string(FlowModeName(info.param)); });

// Where the program keeps XON/XOFF, the kernel passes them through; the
// program takes them out of what it hands up, as the kernel would, and
// stops within a few bytes of an XOFF that comes in the middle of a write.
TEST(SystemSerialPorts, TheProgramWatchesForXoffWhileItWrites) {
  Pty pty;
  SystemSerialPorts ports(FlowBy(FlowMode::kProgram, pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);
  const termios t = pty.Settings();
  EXPECT_FALSE(t.c_iflag & IXON) << "the kernel would keep XOFF from the program";
  EXPECT_TRUE(t.c_iflag & IXOFF);

  pty.Send("ab\x13" "cd\x11" "ef");
  EXPECT_EQ(WaitForWaiting(ports, port, 6), 6u);
  char in[16] = {};
  EXPECT_EQ(std::string(in, ports.Read(port, in, sizeof in).count), "abcdef");

  std::string image(4000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>('a' + i % 26);
  const auto start = std::chrono::steady_clock::now();
  auto writer = std::async(std::launch::async, [&] {
    std::uint32_t total = 0;
    while (total < image.size()) total += ports.Write(port, &image[total], 1, 20).count;
  });
  std::string received = pty.Receive(1000, 2000);
  // No faster than the line, 10 bits a byte at 57600 baud, beyond the few
  // bytes it may queue: a busy machine can only make it slower.
  const auto line_time = std::chrono::microseconds(
      (received.size() - SoftwareFlow::kMostQueued) * 10'000'000 / 57600);
  EXPECT_GE(std::chrono::steady_clock::now() - start, line_time) << "faster than the line";
  // What was written before the XOFF but not read yet does not count: a
  // test thread that a busy machine holds up finds more of it.
  // Nor does what the writer may send, at the line's pace, while this
  // thread goes from the count to the XOFF.
  int unread = 0;
  const auto counted = std::chrono::steady_clock::now();
  ioctl(pty.master, FIONREAD, &unread);
  pty.Send("\x13");
  const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - counted);
  const std::string after_xoff = pty.Receive(image.size(), 300);
  std::cout << "bytes after the XOFF: " << after_xoff.size() - unread << "\n";
  EXPECT_LE(after_xoff.size(), unread + 80u + late.count() * 6)
      << "the program went on writing under XOFF";
  EXPECT_EQ(pty.Receive(1, 200), "") << "a hold must last";
  pty.Send("\x11");
  received += after_xoff + pty.Receive(image.size() - received.size() - after_xoff.size(), 3000);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(received == image) << "bytes lost or changed under the program's flow control";
  ports.Close(port);
}

// Where the program keeps XON/XOFF, a flood that nobody reads fills what it
// holds up to the receive poll's bound and no further; the rest waits in
// the kernel.
TEST(SystemSerialPorts, TheProgramHoldsAFloodWithinThePollsBound) {
  Pty pty;
  SystemSerialPorts ports(FlowBy(FlowMode::kProgram, pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);
  // What the kernel holds beyond the bound differs between kernels: the
  // flood gives up on what it cannot place rather than wait for ever.
  std::size_t sent = 0;
  std::thread flood([&] { sent = pty.SendWithin(std::string(kReadLimit + 10'000, 'a'), 6000); });
  std::uint32_t most = 0;
  for (int i = 0; i < 1000 && most < kReadLimit; ++i) {
    most = std::max(most, ports.WaitingCount(port).count);
    std::this_thread::sleep_for(5ms);
  }
  flood.join();
  ASSERT_GT(sent, kReadLimit) << "the flood did not reach the bound";
  for (int i = 0; i < 10; ++i) most = std::max(most, ports.WaitingCount(port).count);
  EXPECT_EQ(most, kReadLimit);
  ports.Close(port);
}

TEST_P(FlowModes, ResumeOutputLiftsAStaleXoff) {
  Pty pty;
  SystemSerialPorts ports(FlowBy(GetParam(), pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);
  SendAndSettle(pty, ports, port, "\x13");
  ports.ResumeOutput(port);
  EXPECT_EQ(ports.Write(port, "F", 1, 100).count, 1u);
  EXPECT_EQ(pty.Receive(1, 300), "F") << "an XOFF from before still holds the line";
  ports.Close(port);
}

TEST_P(FlowModes, AVanishedDeviceIsReportedLost) {
  Pty pty;
  SystemSerialPorts ports(FlowBy(GetParam(), pty.path));
  const PortHandle port = OpenConfigured(ports);
  ASSERT_NE(port, kInvalidPortHandle);
  EXPECT_FALSE(ports.WaitingCount(port).lost());
  close(pty.master);  // the other end goes, as an unplugged adapter does
  pty.master = -1;
  const PortResult waiting = ports.WaitingCount(port);
  EXPECT_TRUE(waiting.lost());
  EXPECT_FALSE(waiting.error.reason.empty());
  EXPECT_TRUE(ports.Write(port, "F", 1, 20).lost());
  ports.Close(port);
}

TEST(SystemSerialPorts, ATerminationSignalLiftsTheExclusiveUse) {
  Pty pty;
  const pid_t child = fork();
  if (child == 0) {
    SystemSerialPorts ports(Com1Options(pty.path));
    ReleasePortOnTermination();
    if (ports.Open("COM1").handle == kInvalidPortHandle) _exit(3);
    raise(SIGTERM);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_FALSE(testing::HeldExclusively(pty.path)) << "the port stays busy for everyone but root";
}

TEST(SystemSerialPorts, APortIsOursAlone) {
  Pty pty;
  SystemSerialPorts ports(Com1Options(pty.path));
  const PortHandle first = ports.Open("COM1").handle;
  ASSERT_NE(first, kInvalidPortHandle);
  // TIOCEXCL keeps out the programs of users who are not root.
  EXPECT_TRUE(testing::HeldExclusively(pty.path)) << "the port is not held exclusively";
  const OpenResult second = ports.Open("COM1");
  EXPECT_EQ(second.handle, kInvalidPortHandle) << "a second program got the port";
  EXPECT_EQ(second.error.kind, PortError::Kind::kBusy);
  EXPECT_EQ(second.error.reason, "Device or resource busy");
  ports.Close(first);
  EXPECT_FALSE(testing::HeldExclusively(pty.path)) << "closing must lift the exclusive use";
  const OpenResult again = ports.Open("COM1");
  EXPECT_NE(again.handle, kInvalidPortHandle) << "closing must release the port: "
                                              << again.error.reason;
  ports.Close(again.handle);
}

// A device the user may not open is named as such, so that the technician
// is sent to the group membership and not to the cable.
TEST(SystemSerialPorts, APortTheUserMayNotOpenSaysSo) {
  Pty pty;
  const pid_t child = fork();
  if (child == 0) {
    // Root opens everything: the child gives up root, or the owner's rights.
    if (geteuid() == 0 ? setuid(65534) != 0 : chmod(pty.path.c_str(), 0) != 0) _exit(3);
    const OpenResult opened = SystemSerialPorts(Com1Options(pty.path)).Open("COM1");
    _exit(opened.handle == kInvalidPortHandle && opened.error.kind == PortError::Kind::kPermission &&
                  opened.error.reason == "Permission denied"
              ? 0
              : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A COM item with no device behind it says so, rather than naming a device.
TEST(SystemSerialPorts, AComNameWithNothingBehindItSaysSo) {
  testing::FakeSystem nothing;  // no serial device at all
  PortOptions options;
  options.places = nothing.places();
  const OpenResult opened = SystemSerialPorts(options).Open("COM3");
  EXPECT_EQ(opened.handle, kInvalidPortHandle);
  EXPECT_EQ(opened.error.kind, PortError::Kind::kNoSuchDevice);
  EXPECT_EQ(opened.error.reason, "no serial device behind COM3");
}

TEST(SystemSerialPorts, RefusesWhatIsNotASerialDevice) {
  const auto dir = std::filesystem::temp_directory_path() / "fwdl-not-a-port";
  std::filesystem::create_directories(dir);
  const auto file = dir / "COM1.txt";
  std::ofstream(file) << "firmware must never land here";
  using Kind = PortError::Kind;
  const std::pair<std::string, Kind> cases[] = {{(dir / "missing").string(), Kind::kNoSuchDevice},
                                                {file.string(), Kind::kNotSerial},
                                                {dir.string(), Kind::kNotSerial},
                                                {"/dev/null", Kind::kNotSerial}};
  for (const auto& [device, kind] : cases) {
    const OpenResult opened = SystemSerialPorts(Com1Options(device)).Open("COM1");
    EXPECT_EQ(opened.handle, kInvalidPortHandle) << device;
    EXPECT_EQ(opened.error.kind, kind) << device << ": " << opened.error.reason;
    EXPECT_FALSE(opened.error.reason.empty());
  }
  std::ifstream check(file);
  std::string content;
  std::getline(check, content);
  EXPECT_EQ(content, "firmware must never land here");
  std::filesystem::remove_all(dir);
}

// The descriptors this process has open.
std::size_t OpenDescriptors() {
  const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// Each call that opens a port, failed in turn: the port is refused with
// that call's reason, and its descriptor is closed again.
TEST(SystemSerialPorts, EachSetupCallThatFailsRefusesThePortAndClosesIt) {
  const std::pair<const char*, int> kCalls[] = {
      {"open", EACCES}, {"isatty", ENOTTY}, {"TIOCEXCL", EINVAL}, {"flock", ENOLCK}};
  Pty pty;
  SystemSerialPorts ports(Com1Options(pty.path));
  {
    testing::FailingSetupCall none;
    const PortHandle port = ports.Open("COM1").handle;
    ASSERT_NE(port, kInvalidPortHandle);
    ports.Close(port);
    std::vector<std::string> table;
    for (const auto& [call, code] : kCalls) table.emplace_back(call);
    EXPECT_EQ(none.asked, table) << "a call that opens a port is missing from the table";
  }
  for (const auto& [call, code] : kCalls) {
    const std::size_t descriptors = OpenDescriptors();
    testing::FailingSetupCall failing(call, code);
    const OpenResult opened = ports.Open("COM1");
    EXPECT_EQ(opened.handle, kInvalidPortHandle) << call << " failed, and the port opened";
    EXPECT_EQ(opened.error.reason, std::system_category().message(code)) << call;
    EXPECT_EQ(OpenDescriptors(), descriptors) << call << " failed, and the descriptor stays open";
  }
}

}  // namespace
}  // namespace fwdl
