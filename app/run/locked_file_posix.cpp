// POSIX side of the shared spool: flock() on the file itself; Replace
// renames a new file over it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "app/run/locked_file.h"

namespace fwdl::console {
namespace {

std::string SystemError() { return std::strerror(errno); }

std::optional<std::string> WriteAll(int fd, std::string_view text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return SystemError();
    done += static_cast<std::size_t>(wrote);
  }
  if (fsync(fd) != 0) return SystemError();
  return std::nullopt;
}

}  // namespace

std::optional<std::string> LockedFile::Lock(const std::string& path, std::chrono::milliseconds wait,
                                            bool* busy) {
  Unlock();
  if (busy) *busy = false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return SystemError();
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Locked; but the file may have been replaced while we waited: then
      // this lock guards nothing, and the new file is the one to lock.
      struct stat held {}, named {};
      if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
          held.st_dev == named.st_dev) {
        handle_ = fd;
        path_ = path;
        return std::nullopt;
      }
      close(fd);
      continue;
    }
    const int error = errno;
    close(fd);
    if (error != EWOULDBLOCK && error != EINTR) {
      errno = error;
      return SystemError();
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (busy) *busy = true;
      return "held by another fwdl";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<std::string> LockedFile::Read(std::string& text) {
  text.clear();
  if (handle_ == kClosed) return "not locked";
  const int fd = static_cast<int>(handle_);
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return SystemError();
    if (got == 0) return std::nullopt;
    text.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
}

std::optional<std::string> LockedFile::Append(std::string_view text) {
  if (handle_ == kClosed) return "not locked";
  return WriteAll(static_cast<int>(handle_), text);
}

std::optional<std::string> LockedFile::Replace(std::string_view text) {
  if (handle_ == kClosed) return "not locked";
  const std::string fresh = path_ + ".new";  // only the holder of the lock writes it
  const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return SystemError();
  auto failed = WriteAll(fd, text);
  close(fd);
  if (!failed && rename(fresh.c_str(), path_.c_str()) != 0) failed = SystemError();
  if (failed) unlink(fresh.c_str());
  Unlock();
  return failed;
}

void LockedFile::Unlock() {
  if (handle_ == kClosed) return;
  close(static_cast<int>(handle_));  // lets the lock go
  handle_ = kClosed;
}

}  // namespace fwdl::console
