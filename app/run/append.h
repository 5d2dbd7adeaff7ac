// A file that whole lines are appended to, each in one piece, by several
// fwdl processes at once: the record file of --record. Implemented once per
// system (append_posix.cpp, append_win32.cpp); the build picks one.
//
// - Open creates the file if need be and opens it for writing at its end;
//   it refuses anything but a regular file. It is called when the run
//   starts, so that a record that could not be written fails the run
//   before the instrument is touched.
// - Append writes its text with one system call (POSIX: write() on an
//   O_APPEND descriptor; Windows: WriteFile at the end-of-file offset, as
//   on a FILE_APPEND_DATA handle, with the writers taking turns under a
//   byte-range lock, since Wine does not make that one step), which puts it
//   at the end of the file whole, so lines from several processes never mix; then it waits
//   until the text is on the disk (fsync, FlushFileBuffers). This holds on
//   a local file system; a network file system may not append atomically.
// - Both give the system's reason when they fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwdl::console {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Nothing when the file is open; otherwise why it cannot be ("Permission denied").
  std::optional<std::string> Open(const std::string& path);
  // Nothing when `text` is written and on the disk; otherwise why not.
  std::optional<std::string> Append(std::string_view text);
  void Close();
  bool IsOpen() const { return handle_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;  // a file descriptor or a HANDLE
};

// This computer's name, for the record; "" when the system gives none.
std::string HostName();

}  // namespace fwdl::console
