// The remedy texts, from the facts the system's part has found.
#include "port_remedy.h"

#include <algorithm>

namespace fwdl {
namespace {

bool Named(const std::vector<Holder>& holders, const std::string& name) {
  return std::any_of(holders.begin(), holders.end(),
                     [&](const Holder& h) { return h.name == name; });
}

std::string Pids(const std::vector<Holder>& holders) {
  std::string pids;
  for (const Holder& h : holders) {
    if (!pids.empty()) pids += ' ';
    pids += std::to_string(h.pid);
  }
  return pids;
}

}  // namespace

std::string HolderList(const std::vector<Holder>& holders) {
  std::string list;
  for (const Holder& h : holders) {
    list += (list.empty() ? "" : ", ") + h.name + " (process " + std::to_string(h.pid) + ")";
  }
  return list;
}

std::string PermissionRemedy(const NodeAccess& a) {
  const std::string rule = std::string("a udev rule that sets GROUP=\"dialout\", MODE=\"0660\" (") +
                           kUdevRule + ")";
  if (!a.group_may_use) {
    return a.device + " lets only its owner " + a.owner + " open it (group " + a.group +
           " has no read and write): give it a group with " + rule;
  }
  if (a.group == "root") {
    return a.device + " belongs to the group root: rather than adding " + a.user +
           " to root, give it a group of its own with " + rule;
  }
  const std::string belongs = a.device + " belongs to the group " + a.group;
  if (!a.user_in_group) {
    return belongs + ", and the user " + a.user + " is not in it: sudo usermod -aG " + a.group +
           " " + a.user + ", then log in again";
  }
  if (!a.session_has_group) {
    return belongs + "; the user " + a.user +
           " is in it, but this session began before that: log out and in again (or run the "
           "program under sg " + a.group + ")";
  }
  return belongs + ", which this session has, and the system still refuses: an access control "
                   "of its own (AppArmor, SELinux, the sandbox of a snap or a flatpak) keeps the "
                   "program out";
}

std::string BusyRemedy(const std::string& device, const std::vector<Holder>& holders,
                       bool saw_every_process) {
  if (holders.empty()) {
    if (saw_every_process) {
      return "no process has " + device +
             " open now: the program that held it has ended; choose the port again";
    }
    return "no process of this user has " + device +
           " open: a program of another user or a service holds it (sudo fuser -v " + device +
           " names it)";
  }
  const bool locked = std::any_of(holders.begin(), holders.end(), [](const Holder& h) { return h.locks; });
  std::vector<Holder> holding, open_too;
  for (const Holder& h : holders) (!locked || h.locks ? holding : open_too).push_back(h);
  std::string text = device + " is held by " + HolderList(holding);
  std::vector<Holder> others;
  std::copy_if(holding.begin(), holding.end(), std::back_inserter(others),
               [](const Holder& h) { return h.name != "ModemManager"; });
  if (Named(holding, "ModemManager")) {
    text += ": ModemManager takes new serial devices for modems; keep it away from the adapter "
            "with a udev rule, ENV{ID_MM_DEVICE_IGNORE}=\"1\" (" +
            std::string(kUdevRule) + "), or stop it: sudo systemctl stop ModemManager";
    if (!others.empty()) text += "; ";
  } else {
    text += ": ";
  }
  if (!others.empty()) {
    text += others.size() == 1 ? "close that program (kill " : "close those programs (kill ";
    text += Pids(others) + " ends " + (others.size() == 1 ? "it)" : "them)");
  }
  if (!open_too.empty()) text += "; also open in " + HolderList(open_too);
  return text;
}

std::string MissingRemedy(const std::string& device, bool node_exists, std::size_t present) {
  const std::string where = "the Port menu's tooltips and fwdl ports name ";
  if (device.empty()) {
    if (present == 0) return "no serial device is present: is the adapter plugged in?";
    const std::string last = "COM" + std::to_string(std::min<std::size_t>(present, 8));
    if (present == 1) return "one serial device is present, behind COM1 (" + where + "it)";
    return std::to_string(present) + " serial devices are present, behind COM1 to " + last +
           " (" + where + "them)";
  }
  if (node_exists) {
    return device + " is there, but no hardware answers behind it: a ttyS node without a UART, "
                    "or an adapter on its way out";
  }
  return device + " is not there: the adapter was unplugged, or the device never was (" + where +
         "the devices present)";
}

std::string HeldPortRemedy(const std::string& com) {
  return "another program holds " + com +
         " (a terminal program, a second copy of this program, a modem or phone tool): close "
         "it; Windows does not tell which program it is";
}

std::string UnlistedPortRemedy(const std::string& com, const std::vector<std::string>& listed) {
  std::string names;
  for (const std::string& name : listed) names += (names.empty() ? "" : ", ") + name;
  return "Windows lists " + (names.empty() ? std::string("no COM port") : names) + " but no " +
         com + ": the adapter was unplugged, or Windows gave it another number (the Device "
               "Manager shows the ports under \"Ports (COM & LPT)\"; fwdl ports lists them)";
}

}  // namespace fwdl
