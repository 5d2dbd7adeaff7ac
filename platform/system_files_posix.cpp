#include "system_files_posix.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace fwdl::system_files {

fs::path Root() {
  const char* root = std::getenv("FWDL_SYSTEM_ROOT");
  std::error_code error;
  const fs::path path = root && *root ? fs::canonical(root, error) : fs::path("/");
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
void ForEachProcess(Each each) {
  const fs::path proc = Root() / "proc";
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

}  // namespace

HolderScan HoldersOf(const std::string& device) {
  HolderScan scan;
  ForEachProcess([&](long pid, const fs::path& process) {
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
  return scan;
}

std::vector<Holder> ProcessesNamed(const std::string& name) {
  std::vector<Holder> found;
  ForEachProcess([&](long pid, const fs::path& process) {
    if (FirstLine(process / "comm") == name) found.push_back({pid, name});
  });
  return found;
}

}  // namespace fwdl::system_files
