// Windows side of the shared spool: LockFileEx on the whole file; Replace
// rewrites it in place, since a file that others hold open cannot be
// renamed over. So that a crash in the middle of that rewrite loses
// nothing, the new text is first written whole to FILE.new, behind a first
// line that gives its length; the next Lock finds a complete FILE.new and
// finishes the rewrite, or an incomplete one and drops it (the spool was
// not touched yet).
#include <windows.h>

#include <thread>

#include "app/run/locked_file.h"

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

std::optional<std::string> WriteAt(HANDLE file, std::string_view text, OVERLAPPED at) {
  DWORD wrote = 0;
  if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, &at)) {
    return SystemError();
  }
  if (wrote != text.size()) return "only " + std::to_string(wrote) + " bytes written";
  if (!FlushFileBuffers(file)) return SystemError();
  return std::nullopt;
}

std::optional<std::string> Truncate(HANDLE file) {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return SystemError();
  return std::nullopt;
}

std::optional<std::string> ReadAll(HANDLE file, std::string& text) {
  text.clear();
  char buffer[65536];
  for (ULONGLONG at = 0;;) {
    OVERLAPPED from{};
    from.Offset = static_cast<DWORD>(at);
    from.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, &from)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return std::nullopt;
      return SystemError();
    }
    if (got == 0) return std::nullopt;
    text.append(buffer, got);
    at += got;
  }
}

constexpr char kIntent[] = "fwdl spool rewrite, bytes: ";

// The text a complete FILE.new holds, or nothing.
std::optional<std::string> Intended(const std::string& written) {
  const std::size_t eol = written.find('\n');
  if (written.rfind(kIntent, 0) != 0 || eol == std::string::npos) return std::nullopt;
  const std::string count = written.substr(sizeof kIntent - 1, eol - (sizeof kIntent - 1));
  if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  std::string text = written.substr(eol + 1);
  if (std::to_string(text.size()) != count) return std::nullopt;
  return text;
}

// Under the lock: a rewrite that a crash cut short is finished from FILE.new.
std::optional<std::string> FinishRewrite(HANDLE file, const std::string& path) {
  const std::string intent = path + ".new";
  const HANDLE saved = CreateFileA(intent.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (saved == INVALID_HANDLE_VALUE) return std::nullopt;  // none was cut short
  std::string written;
  const auto unread = ReadAll(saved, written);
  CloseHandle(saved);
  if (unread) return unread;
  if (const auto text = Intended(written)) {
    if (auto failed = Truncate(file)) return failed;
    if (!text->empty()) {
      if (auto failed = WriteAt(file, *text, OVERLAPPED{})) return failed;
    }
  }
  if (!DeleteFileA(intent.c_str())) return SystemError();
  return std::nullopt;
}

}  // namespace

std::optional<std::string> LockedFile::Lock(const std::string& path, std::chrono::milliseconds wait,
                                            bool* busy) {
  Unlock();
  if (busy) *busy = false;
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SystemError();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole)) {
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      CloseHandle(file);
      return SystemError(error);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      CloseHandle(file);
      if (busy) *busy = true;
      return "held by another fwdl";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (auto failed = FinishRewrite(file, path)) {
    OVERLAPPED whole{};
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    return "an earlier rewrite of the spool cannot be finished: " + *failed;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  path_ = path;
  return std::nullopt;
}

std::optional<std::string> LockedFile::Read(std::string& text) {
  text.clear();
  if (handle_ == kClosed) return "not locked";
  return ReadAll(Handle(handle_), text);
}

std::optional<std::string> LockedFile::Append(std::string_view text) {
  if (handle_ == kClosed) return "not locked";
  OVERLAPPED at_end{};
  at_end.Offset = at_end.OffsetHigh = 0xFFFFFFFF;  // the end of the file
  return WriteAt(Handle(handle_), text, at_end);
}

std::optional<std::string> LockedFile::Replace(std::string_view text) {
  if (handle_ == kClosed) return "not locked";
  const HANDLE file = Handle(handle_);
  const std::string intent = path_ + ".new";
  std::optional<std::string> failed;
  const HANDLE saved = CreateFileA(intent.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (saved == INVALID_HANDLE_VALUE) {
    failed = SystemError();
  } else {
    const std::string written = kIntent + std::to_string(text.size()) + "\n" + std::string(text);
    failed = WriteAt(saved, written, OVERLAPPED{});
    CloseHandle(saved);
  }
  // The spool is only touched once its new text is safe beside it.
  if (!failed) failed = Truncate(file);
  if (!failed && !text.empty()) failed = WriteAt(file, text, OVERLAPPED{});
  if (!failed && !DeleteFileA(intent.c_str())) failed = SystemError();
  Unlock();
  return failed;
}

void LockedFile::Unlock() {
  if (handle_ == kClosed) return;
  OVERLAPPED whole{};
  UnlockFileEx(Handle(handle_), 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(Handle(handle_));
  handle_ = kClosed;
}

}  // namespace fwdl::console
