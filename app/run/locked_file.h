// A small file that several fwdl processes share, read and changed only
// while one of them holds it under an exclusive lock: the spool of records
// waiting for the database. Implemented once per system
// (locked_file_posix.cpp, locked_file_win32.cpp); the build picks one.
//
// - Lock opens the file (creating it) and waits up to `wait` for the lock;
//   `busy` tells that another process held it all that time.
// - Append writes at the end and waits until it is on the disk.
// - Replace puts `text` in place of the whole file, on the disk, and lets
//   the lock go. POSIX: a new file renamed over the old one, so a crash
//   leaves the old or the new whole; a process that waited for the old
//   file's lock finds it replaced and locks the new one. Windows: the file
//   rewritten in place under its lock, the new text first kept whole in
//   FILE.new, so that the next Lock finishes a rewrite a crash cut short.
// - Every failure comes with the system's reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwdl::console {

class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile() { Unlock(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  std::optional<std::string> Lock(const std::string& path, std::chrono::milliseconds wait,
                                  bool* busy = nullptr);
  std::optional<std::string> Read(std::string& text);
  std::optional<std::string> Append(std::string_view text);
  std::optional<std::string> Replace(std::string_view text);
  void Unlock();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;  // a file descriptor or a HANDLE
  std::string path_;
};

}  // namespace fwdl::console
