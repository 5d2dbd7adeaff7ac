#include "system_files_posix.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace fwdl::system_files {

fs::path Root(const SystemPlaces& places) {
  const std::string& root = places.root;
  std::error_code error;
  const fs::path path = root.empty() ? fs::path("/") : fs::canonical(root, error);
  return error ? fs::path(root) : path;
}

fs::path Under(const fs::path& root, const fs::path& path) {
  return path.is_absolute() ? root / path.relative_path() : path;
}

std::string Outside(const fs::path& root, const fs::path& path) {
  return root == "/" ? path.string() : "/" + path.lexically_relative(root).string();
}

fs::path Resolved(const fs::path& path) {
  std::error_code error;
  fs::path real = fs::canonical(path, error);
  return error ? fs::path() : real;
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string LinkTarget(const fs::path& link) { return Resolved(link).filename().string(); }

namespace {

// Calls `each` with the id and folder of every process but this one.
template <typename Each>
void ForEachProcess(const fs::path& root, Each each) {
  const fs::path proc = root / "proc";
  const std::string self = std::to_string(getpid());
  std::error_code error;
  // Processes come and go while this reads: an error ends the walk, never the program.
  for (fs::directory_iterator it(proc, error), end; !error && it != end; it.increment(error)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
      continue;
    }
    each(std::stol(pid), it->path());
  }
}

// The processes that hold a lock on the node, from /proc/locks: lines such
// as "1: FLOCK  ADVISORY  WRITE 812 00:1b:73 0 EOF" (a waiting lock has
// "->" after its number), the node as the filesystem's major:minor in hex
// and the inode.
std::vector<long> Lockers(const fs::path& root, const std::string& device) {
  struct stat node {};
  if (stat(device.c_str(), &node) != 0) return {};
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                static_cast<unsigned long>(node.st_ino));
  std::vector<long> pids;
  std::ifstream locks(root / "proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;
    fields >> mode >> access >> pid >> where;
    if (where == id && !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos) {
      pids.push_back(std::stol(pid));
    }
  }
  return pids;
}

}  // namespace

HolderScan HoldersOf(const fs::path& root, const std::string& device) {
  HolderScan scan;
  ForEachProcess(root, [&](long pid, const fs::path& process) {
    std::error_code error;
    fs::directory_iterator fd(process / "fd", error);
    // A process that has ended meanwhile has nothing open.
    if (error && error != std::errc::no_such_file_or_directory) scan.saw_every_process = false;
    for (const fs::directory_iterator end; !error && fd != end; fd.increment(error)) {
      std::error_code unreadable;
      if (fs::read_symlink(fd->path(), unreadable) == device) {
        scan.holders.push_back({pid, FirstLine(process / "comm")});
        return;
      }
    }
  });
  const std::vector<long> lockers = Lockers(root, device);
  for (Holder& h : scan.holders) h.locks = std::count(lockers.begin(), lockers.end(), h.pid) > 0;
  return scan;
}

std::vector<Holder> ProcessesNamed(const fs::path& root, const std::string& name) {
  std::vector<Holder> found;
  ForEachProcess(root, [&](long pid, const fs::path& process) {
    if (FirstLine(process / "comm") == name) found.push_back({pid, name});
  });
  return found;
}

}  // namespace fwdl::system_files
