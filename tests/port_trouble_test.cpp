// Why a port will not open on Linux, told with its remedy, for real: a
// pseudo-terminal of a group the user is not in (or joined after the
// session began), opened by a child that has given up root; a port held by
// another process, named as /proc shows it; and, in a fake system tree, a
// device that is not there beside adapters that have no port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/port_remedy.h"
#include "platform/serial_port.h"
#include "platform/usb_adapters.h"
#include "support/fake_system.h"
#include "support/pty.h"

namespace fwdl {
namespace {

using testing::Com1Options;
using testing::Pty;

// Runs `child` in a forked process and returns what it wrote to the pipe.
std::string InChild(const std::function<std::string()>& child) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    const std::string said = child();
    (void)!write(out[1], said.data(), said.size());
    _exit(0);
  }
  close(out[1]);
  std::string said;
  char buffer[1024];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return said;
}

// A group the user nobody is in only by passwd (its own), and one it is not in at all.
TEST(PortTrouble, APermissionRefusalNamesTheGroupAndWhatToDo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the node's group is set, then root given up";
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  if (!nobody || !dialout) GTEST_SKIP() << "no user nobody or group dialout here";
  const gid_t own = nobody->pw_gid;
  const group* own_group = getgrgid(own);
  ASSERT_NE(own_group, nullptr);
  const std::string own_name = own_group->gr_name, dialout_name = dialout->gr_name;
  const uid_t user = nobody->pw_uid;
  const gid_t dialout_gid = dialout->gr_gid;

  const struct {
    gid_t node_group;
    gid_t child_gid;  // the session's only group
    std::string remedy;  // after the device's path
  } kCases[] = {
      {dialout_gid, own,
       " belongs to the group " + dialout_name +
           ", and the user nobody is not in it: sudo usermod -aG " + dialout_name +
           " nobody, then log in again"},
      {own, 0,
       " belongs to the group " + own_name +
           "; the user nobody is in it, but this session began before that: log out and in "
           "again (or run the program under sg " + own_name + ")"},
  };
  for (const auto& c : kCases) {
    Pty pty;
    ASSERT_EQ(chown(pty.path.c_str(), 0, c.node_group), 0);
    ASSERT_EQ(chmod(pty.path.c_str(), 0660), 0);
    const std::string said = InChild([&] {
      if (setgroups(0, nullptr) != 0 || setgid(c.child_gid) != 0 || setuid(user) != 0) {
        return std::string("cannot give up root");
      }
      const OpenResult opened = SystemSerialPorts(Com1Options(pty.path)).Open("COM1");
      if (opened.handle != kInvalidPortHandle) return std::string("opened");
      return opened.error.reason + "|" + opened.error.remedy;
    });
    EXPECT_EQ(said, "Permission denied|" + pty.path + c.remedy);
  }
}

// The holder opens the port under the command name it is given, as the
// program does (exclusive, flock) or with a plain open, and waits until the
// test is done.
class Holding {
 public:
  Holding(const std::string& device, const char* name, bool as_the_program = true) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(done_) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      close(done_[1]);  // its end alone tells the holder that the test is done
      prctl(PR_SET_NAME, name);
      SystemSerialPorts ports(Com1Options(device));
      const bool opened = as_the_program ? ports.Open("COM1").handle != kInvalidPortHandle
                                         : open(device.c_str(), O_RDWR | O_NOCTTY) >= 0;
      (void)!write(ready[1], opened ? "y" : "n", 1);
      char byte;
      (void)!read(done_[0], &byte, 1);
      _exit(0);
    }
    close(done_[0]);
    char byte = 'n';
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    close(ready[1]);
    opened = byte == 'y';
  }
  ~Holding() {
    close(done_[1]);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  bool opened = false;

 private:
  pid_t pid_ = -1;
  int done_[2];
};

// The one that locks it is told as the holder, one that only has it open
// (as a pseudo-terminal's other side may) beside it.
TEST(PortTrouble, ABusyPortNamesTheProcessThatHoldsIt) {
  for (const char* name : {"picocom", "ModemManager"}) {
    Pty pty;
    Holding other_side(pty.path, "cat", /*as_the_program=*/false);
    Holding holder(pty.path, name);
    ASSERT_TRUE(holder.opened && other_side.opened) << name;
    const std::string also = "; also open in cat (process " + std::to_string(other_side.pid()) + ")";
    const OpenResult opened = SystemSerialPorts(Com1Options(pty.path)).Open("COM1");
    ASSERT_EQ(opened.error.kind, PortError::Kind::kBusy) << name;
    const std::string held =
        pty.path + " is held by " + name + " (process " + std::to_string(holder.pid()) + "): ";
    const std::string& remedy = opened.error.remedy;
    EXPECT_EQ(remedy.rfind(held, 0), 0u) << remedy;
    if (std::string(name) == "ModemManager") {
      EXPECT_NE(remedy.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\" (" + std::string(kUdevRule) + ")"),
                std::string::npos) << remedy;
      EXPECT_NE(remedy.find("sudo systemctl stop ModemManager" + also), std::string::npos) << remedy;
      EXPECT_EQ(remedy.find("kill"), std::string::npos) << remedy;
    } else {
      EXPECT_EQ(remedy, held + "close that program (kill " + std::to_string(holder.pid()) +
                            " ends it)" + also);
    }
  }
}

// A COM name with nothing behind it: what is present, and each USB serial
// adapter that has no port with what was seen of it. An adapter with its
// tty, or a USB device of no serial chip, is no such adapter.
TEST(PortTrouble, NothingBehindAPortTellsWhatIsPresentAndTheAdaptersWithoutAPort) {
  testing::FakeSystem fake;
  fake.Uart(0, 4);
  fake.Adapter("ttyUSB0", "1-1", "ftdi_sio", "0403:6001", "A50285BI", "FT232R USB UART");
  fake.AdapterWithoutPort("1-2", "1a86:7523", "");
  const std::string cp210x = fake.AdapterWithoutPort("1-3", "10c4:ea60", "usbfs");
  fake.Process(612, "brltty", {cp210x});
  fake.AdapterWithoutPort("1-4", "067b:2303", "usbfs");
  fake.AdapterWithoutPort("2-1", "2e8a:000a", "", /*cdc_acm=*/true);
  fake.AdapterWithoutPort("2-2", "046d:c52b", "");  // a mouse's receiver

  PortOptions options;
  options.places = fake.places();
  const OpenResult opened = SystemSerialPorts(options).Open("COM5");
  EXPECT_EQ(opened.error.reason, "no serial device behind COM5");
  EXPECT_EQ(opened.error.remedy,
            "2 serial devices are present, behind COM1 to COM2 (the Port menu's tooltips and fwdl "
            "ports name them)\n"
            "a CH340 adapter (USB 1a86:7523, socket 1-2) has no serial device: its driver is not "
            "loaded, or a service took it (brltty claims this chip on some systems); no driver "
            "has it: sudo modprobe ch341 loads the chip's driver\n"
            "a CP210x adapter (USB 10c4:ea60, socket 1-3) has no serial device: its driver is not "
            "loaded, or a service took it (brltty claims this chip on some systems); brltty "
            "(process 612) has it: where no Braille display is used, remove brltty (sudo apt "
            "remove brltty) or keep it from the chip (sudo systemctl mask brltty-udev.service), "
            "then plug the adapter in again\n"
            "a PL2303 adapter (USB 067b:2303, socket 1-4) has no serial device: its driver is not "
            "loaded, or a service took it; a program has it through usbfs (sudo fuser -v "
            "/dev/bus/usb/001/004 names it)\n"
            "a CDC-ACM adapter (USB 2e8a:000a, socket 2-1) has no serial device: its driver is "
            "not loaded, or a service took it; no driver has it: sudo modprobe cdc_acm loads the "
            "chip's driver");
}

}  // namespace
}  // namespace fwdl
