// Windows side of the record file: one WriteFile() at the end of the file,
// then FlushFileBuffers().
#include <windows.h>

#include "app/run/append.h"

namespace fwdl::console {
namespace {

std::string SystemError(DWORD code = GetLastError()) {
  char text[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return reason.empty() ? "system error " + std::to_string(code) : reason;
}

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::optional<std::string> AppendFile::Open(const std::string& path) {
  Close();
  // GENERIC_WRITE, which FlushFileBuffers needs; each write is still an
  // append in one piece, by the end-of-file offset below. Others may read,
  // write and append while we hold the file.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SystemError();
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return "not a regular file";
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return std::nullopt;
}

std::optional<std::string> AppendFile::Append(std::string_view text) {
  if (handle_ == kClosed) return "the record file is not open";
  // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file, whatever
  // others appended meanwhile: what a handle opened with FILE_APPEND_DATA
  // alone does, as WriteFile documents.
  // Wine finds that end and writes there in two steps, so two fwdl that
  // end together could write over each other's line: the writers take
  // turns under a lock of one byte far beyond any record file's end (a
  // lock keeps no one from reading or appending; it only orders us).
  OVERLAPPED turn{};
  turn.Offset = turn.OffsetHigh = 0xFFFFFFFE;
  if (!LockFileEx(Handle(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn)) return SystemError();
  OVERLAPPED at_end{};
  at_end.Offset = at_end.OffsetHigh = 0xFFFFFFFF;
  DWORD wrote = 0;
  std::optional<std::string> failed;
  if (!WriteFile(Handle(handle_), text.data(), static_cast<DWORD>(text.size()), &wrote, &at_end)) {
    failed = SystemError();
  } else if (wrote != text.size()) {
    failed = "only " + std::to_string(wrote) + " of " + std::to_string(text.size()) + " bytes written";
  } else if (!FlushFileBuffers(Handle(handle_))) {
    failed = SystemError();
  }
  UnlockFileEx(Handle(handle_), 0, 1, 0, &turn);
  return failed;
}

void AppendFile::Close() {
  if (handle_ == kClosed) return;
  CloseHandle(Handle(handle_));
  handle_ = kClosed;
}

std::string HostName() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return "";
  return std::string(name, size);
}

}  // namespace fwdl::console
