// Linux: the facts behind a port that will not open, from the device
// node (owner, group, mode), the user and group databases, /proc and
// udev's database, under the places' root in tests (system_files_posix.h).
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "port_remedy.h"
#include "serial_devices.h"
#include "system_files_posix.h"
#include "usb_adapters.h"

namespace fwdl {
namespace {

using namespace system_files;

std::string UserName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? user->pw_name : std::to_string(uid);
}

// Whether `user` is in group `g` (listed in it, or it is the user's own),
// and whether this process has the group.
struct Membership {
  bool listed = false;
  bool session = false;
};
Membership MembershipOf(const group& g, const std::string& user) {
  Membership m;
  for (char** member = g.gr_mem; *member; ++member) m.listed |= user == *member;
  if (const passwd* own = getpwuid(getuid()); own && own->pw_gid == g.gr_gid) m.listed = true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(static_cast<std::size_t>(
      std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  m.session = getegid() == g.gr_gid || std::find(groups.begin(), groups.end(), g.gr_gid) != groups.end();
  return m;
}

// Who may open `device`, whose node is at `node_path`.
std::optional<NodeAccess> AccessOf(const std::string& device, const fs::path& node_path) {
  struct stat node {};
  if (stat(node_path.c_str(), &node) != 0) return std::nullopt;
  NodeAccess a;
  a.device = device;
  a.owner = UserName(node.st_uid);
  const group* g = getgrgid(node.st_gid);
  a.group = g ? g->gr_name : std::to_string(node.st_gid);
  a.group_may_use = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  a.user = UserName(getuid());
  if (g) {
    const Membership m = MembershipOf(*g, a.user);
    a.user_in_group = m.listed;
    a.session_has_group = m.session;
  } else {
    a.session_has_group = getegid() == node.st_gid;
  }
  return a;
}

// The device with its links resolved, as /proc/PID/fd shows it.
std::string RealDevice(const fs::path& root, const std::string& device) {
  const fs::path real = Resolved(Under(root, device));
  return real.empty() ? device : Outside(root, real);
}

bool NodeExists(const fs::path& node) {
  std::error_code error;
  return fs::exists(node, error);
}

// Whether udev's database tells ModemManager to leave the tty alone
// (ENV{ID_MM_DEVICE_IGNORE}="1", as the program's udev rule sets it).
bool ModemManagerIgnores(const fs::path& root, const std::string& device) {
  const std::string tty = fs::path(RealDevice(root, device)).filename().string();
  const std::string numbers = FirstLine(root / "sys/class/tty" / tty / "dev");  // "188:0"
  if (numbers.empty()) return false;
  std::ifstream data(root / "run/udev/data" / ("c" + numbers));
  for (std::string line; std::getline(data, line);) {
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return true;
  }
  return false;
}

// "process 812", "processes 812, 907".
std::string Processes(const std::vector<Holder>& holders) {
  std::string pids;
  for (const Holder& h : holders) pids += (pids.empty() ? "" : ", ") + std::to_string(h.pid);
  return (holders.size() == 1 ? "process " : "processes ") + pids;
}

// With no serial device present to look at: whether the user is in the
// group that serial devices belong to here (dialout; uucp on some systems).
Finding GroupFinding() {
  if (geteuid() == 0) return {true, "group", "root may open every serial device"};
  const group* g = getgrnam("dialout");
  if (!g) g = getgrnam("uucp");
  if (!g) return {true, "group", "this system has no group dialout or uucp for serial devices"};
  const std::string user = UserName(getuid()), name = g->gr_name;
  const Membership m = MembershipOf(*g, user);
  if (!m.listed) {
    return {false, "group", "serial devices belong to the group " + name + " here, and the user " +
                                user + " is not in it: sudo usermod -aG " + name + " " + user +
                                ", then log in again"};
  }
  if (!m.session) {
    return {false, "group", "the user " + user + " is in the group " + name +
                                ", but this session began before that: log out and in again"};
  }
  return {true, "group", user + " is in the group " + name + ", which serial devices belong to here"};
}

void DeviceFindings(const std::string& device, const SystemPlaces& places,
                    std::vector<Finding>& findings) {
  const fs::path root = Root(places);
  const fs::path node = Under(root, device);
  if (!NodeExists(node)) return;
  if (const auto access = AccessOf(device, node)) {
    if (::access(node.c_str(), R_OK | W_OK) == 0) {
      findings.push_back({true, "permission", access->user + " may open " + device + " (owner " +
                                                  access->owner + ", group " + access->group + ")"});
    } else {
      findings.push_back({false, "permission", PermissionRemedy(*access)});
    }
  }
  const SerialDevice d = DescribeDevice(device, places);
  const HolderScan scan = HoldersOf(root, RealDevice(root, device));
  const bool locked = std::any_of(scan.holders.begin(), scan.holders.end(),
                                  [](const Holder& h) { return h.locks; });
  if (!scan.holders.empty() && d.attachment == Attachment::kNone && !locked) {
    // A pseudo-terminal's other side may keep it open, as instrument-sim does.
    findings.push_back({true, "holders", device + " is open in " + HolderList(scan.holders) +
                                             ", as the other side of a pseudo-terminal may keep it"});
  } else if (!scan.holders.empty()) {
    findings.push_back({false, "holders", BusyRemedy(device, scan.holders, scan.saw_every_process)});
  } else {
    findings.push_back({true, "holders", scan.saw_every_process
                                             ? "no other process has " + device + " open"
                                             : "no process of this user has " + device +
                                                   " open (those of other users are not seen)"});
  }
  if (const auto modem_manager = ProcessesNamed(root, "ModemManager"); modem_manager.empty()) {
    findings.push_back({true, "ModemManager", "not running"});
  } else if (ModemManagerIgnores(root, device)) {
    findings.push_back({true, "ModemManager", "running (" + Processes(modem_manager) +
                                                  "); udev tells it to leave " + device + " alone"});
  } else if (d.driver == "cdc_acm") {
    findings.push_back(
        {false, "ModemManager",
         "running (" + Processes(modem_manager) + "), and nothing tells it to leave " + device +
             " alone: it probes new ttyACM devices as modems, holds them for some seconds and "
             "may send AT commands to the instrument; keep it away with the udev rule "
             "ENV{ID_MM_DEVICE_IGNORE}=\"1\" (" + kUdevRule +
             "), or stop it: sudo systemctl stop ModemManager"});
  } else {
    findings.push_back({true, "ModemManager",
                        "running (" + Processes(modem_manager) + "); it probes ttyACM devices, and " +
                            device + " is none"});
  }
  const std::string why = d.driver.empty() ? "no driver: a pseudo-terminal, whose tty layer stops output"
                                           : "driver " + d.driver;
  findings.push_back({true, "flow control", device + ": XON/XOFF kept by the " +
                                                FlowModeName(d.flow) + " (" + why + ")"});
}

}  // namespace

// After a failed opening, the node it tells of is the one that was opened:
// the system's path, whatever the places' root says of sysfs and /proc.
std::string PortRemedy(PortError::Kind kind, const std::string& device,
                       const SystemPlaces& places) {
  switch (kind) {
    case PortError::Kind::kPermission:
      if (const auto access = AccessOf(device, device)) return PermissionRemedy(*access);
      return {};
    case PortError::Kind::kBusy: {
      const fs::path root = Root(places);
      const HolderScan scan = HoldersOf(root, RealDevice(root, device));
      return BusyRemedy(device, scan.holders, scan.saw_every_process);
    }
    case PortError::Kind::kNoSuchDevice: {
      const std::string adapters = AdapterLines(places);
      return MissingRemedy(device, !device.empty() && NodeExists(device),
                           SerialDevicesPresent(places).size()) +
             (adapters.empty() ? "" : "\n") + adapters;
    }
    default:
      return {};
  }
}

std::vector<Finding> SystemFindings(const std::string& name, const std::string& device,
                                    const SystemPlaces& places) {
  std::vector<Finding> findings;
  std::vector<std::string> devices;
  if (name.empty()) {
    for (const SerialDevice& d : SerialDevicesPresent(places)) {
      devices.push_back(d.device);
      findings.push_back({true, "port", d.device + ": " + AdapterSummary(d)});
    }
    if (devices.empty()) {
      findings.push_back({false, "ports", MissingRemedy("", false, 0)});
      findings.push_back(GroupFinding());
    }
  } else if (device.empty() || !NodeExists(Under(Root(places), device))) {
    const std::string missing = device.empty() ? "no serial device behind " + name : device + ": no such device";
    findings.push_back({false, "port", missing + ": " +
                                           MissingRemedy(device, false, SerialDevicesPresent(places).size())});
  } else {
    devices.push_back(device);
    findings.push_back({true, "port", (name == device ? "" : name + ": ") + DescribePort(name, places)});
  }
  for (const std::string& d : devices) DeviceFindings(d, places, findings);
  AddAdapterFindings(findings, places);
  return findings;
}

}  // namespace fwdl
