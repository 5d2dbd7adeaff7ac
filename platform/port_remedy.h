// What the technician can do about a port that will not open, told from
// what the system shows: the group the device belongs to and whether the
// user is in it, the processes that hold it, the device that is not there
// and the adapters that are present without a port (usb_adapters.h).
//
// Principles of operation
// - The backend that saw the failure asks PortRemedy for the remedy and
//   puts it into the PortError; the box's details, fwdl's standard error
//   and its JSON carry it from there. The program's fixed box texts never
//   change.
// - The texts are made by plain functions of the facts (PermissionRemedy,
//   BusyRemedy, MissingRemedy), tested as tables on every system; finding
//   the facts is the system's part (port_remedy_posix.cpp,
//   port_remedy_win32.cpp).
// - A remedy names what to run or do, with the real names filled in
//   ("sudo usermod -aG dialout ann"), and says nothing it has not seen.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace fwdl {

// A process that has a device open, as fuser finds it.
struct Holder {
  long pid = 0;
  std::string name;    // its command name, such as "ModemManager"
  bool locks = false;  // it holds a lock on the device, as this program takes one
};
// "ModemManager (process 812), picocom (process 4242)".
std::string HolderList(const std::vector<Holder>& holders);

// What decides whether the user may open a device node.
struct NodeAccess {
  std::string device;              // "/dev/ttyUSB0"
  std::string owner, group;        // their names, or numbers where the system has none
  bool group_may_use = false;      // the node's mode lets its group read and write
  std::string user;                // who runs the program
  bool user_in_group = false;      // the group lists the user, or it is the user's own
  bool session_has_group = false;  // this process has the group
};

// Where this program's udev rule is found once installed; the rule keeps
// ModemManager away and gives the device a group.
inline constexpr char kUdevRule[] =
    "/usr/share/doc/firmware-downloader/examples/60-firmware-downloader.rules";

// Why the user may not open a device, and what to do: join its group,
// log in again, or give the device a group with a udev rule.
std::string PermissionRemedy(const NodeAccess& access);
// Who holds a device and how to free it: those that lock it where any do
// (the others only have it open, as the other side of a pseudo-terminal
// may), else every one that has it open; `saw_every_process` false when
// some processes could not be looked into (another user's).
std::string BusyRemedy(const std::string& device, const std::vector<Holder>& holders,
                       bool saw_every_process);
// A device that is not there. `device` empty: nothing stands behind the
// COM name, and `present` serial devices are; `node_exists`: the node is
// there, but no hardware answers behind it.
std::string MissingRemedy(const std::string& device, bool node_exists, std::size_t present);

// Windows: a port that another program holds (Windows does not tell
// which), and a COM name that Windows does not list beside those it does.
std::string HeldPortRemedy(const std::string& com);
std::string UnlistedPortRemedy(const std::string& com, const std::vector<std::string>& listed);

// The remedy for a port leading to `device` ("" when nothing is behind
// its name) that failed to open so; "" when the system tells nothing more.
// Implemented once per system.
std::string PortRemedy(PortError::Kind kind, const std::string& device,
                       const SystemPlaces& places);

// One check of the system: it holds, or what is wrong and what to do.
struct Finding {
  bool ok = true;
  std::string topic;  // "permission", "holders", "ModemManager", "adapter", ...
  std::string text;
};
// The checks of this system that bear on port `name`, which leads to
// `device` ("" when nothing is behind the name), or with `name` empty on
// every serial port present: that it is there, who may open it, who holds
// it, who keeps XON/XOFF, and the adapters present without a port. Nothing
// here opens a port. Implemented once per system.
std::vector<Finding> SystemFindings(const std::string& name, const std::string& device,
                                    const SystemPlaces& places);

}  // namespace fwdl
