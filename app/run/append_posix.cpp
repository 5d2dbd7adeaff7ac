// POSIX side of the record file: O_APPEND, one write(), fsync().
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/run/append.h"

namespace fwdl::console {
namespace {

std::string SystemError() { return std::strerror(errno); }

}  // namespace

std::optional<std::string> AppendFile::Open(const std::string& path) {
  Close();
  // O_NONBLOCK keeps a FIFO without a reader from holding the run up; it is
  // refused below like every other file that is not a regular one.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return SystemError();
  struct stat status {};
  std::optional<std::string> refused;
  if (fstat(fd, &status) != 0 || fcntl(fd, F_SETFL, O_APPEND) != 0) {
    refused = SystemError();
  } else if (!S_ISREG(status.st_mode)) {
    refused = "not a regular file";
  }
  if (refused) {
    close(fd);
    return refused;
  }
  handle_ = fd;
  return std::nullopt;
}

std::optional<std::string> AppendFile::Append(std::string_view text) {
  if (handle_ == kClosed) return "the record file is not open";
  const int fd = static_cast<int>(handle_);
  std::size_t done = 0;
  while (done < text.size()) {
    // The whole text in one write; the system falls short only when the
    // disk is full or the file too big, and then the rest gets the reason.
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return SystemError();
    done += static_cast<std::size_t>(wrote);
  }
  if (fsync(fd) != 0) return SystemError();
  return std::nullopt;
}

void AppendFile::Close() {
  if (handle_ == kClosed) return;
  close(static_cast<int>(handle_));
  handle_ = kClosed;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace fwdl::console
