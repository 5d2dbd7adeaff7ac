// Linux: where the program reads the system's own files (sysfs, /dev,
// /proc, udev's database), for the POSIX sources of platform/ only.
// The root of SystemPlaces, which only tests set, puts them all under
// another directory ($ROOT/sys, $ROOT/dev, $ROOT/proc, $ROOT/run/udev);
// paths given to and by the program stay the system's ("/dev/ttyUSB0").
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/port_remedy.h"
#include "platform/serial_devices.h"

namespace fwdl::system_files {

namespace fs = std::filesystem;

// Where the system's files are: "/" or the root that `places` names.
fs::path Root(const SystemPlaces& places);
// A system path ("/dev/ttyUSB0") under the root, and back.
fs::path Under(const fs::path& root, const fs::path& path);
std::string Outside(const fs::path& root, const fs::path& path);
// The path with every link resolved; empty when it leads nowhere.
fs::path Resolved(const fs::path& path);
// The first line of a file; empty when it cannot be read.
std::string FirstLine(const fs::path& file);
// The name of what a link such as `driver` or `subsystem` leads to.
std::string LinkTarget(const fs::path& link);

// The processes but this one that have `device` (a system path, links
// resolved) open, found as fuser finds them: through the links in
// /proc/PID/fd; those that hold a lock on it (flock, as this program takes
// one) are marked, from /proc/locks. A process of another user cannot be
// looked into unless the program runs as root; `saw_every_process` tells
// whether one was missed.
struct HolderScan {
  std::vector<Holder> holders;
  bool saw_every_process = true;
};
// `root` is Root() of the places.
HolderScan HoldersOf(const fs::path& root, const std::string& device);
// The processes whose command name (/proc/PID/comm) is `name`.
std::vector<Holder> ProcessesNamed(const fs::path& root, const std::string& name);

}  // namespace fwdl::system_files
