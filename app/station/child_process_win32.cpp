// Win32 side of the child process: CreateProcess with three anonymous
// pipes, handed to the child and nothing else (a handle list), in a new
// process group so that a Ctrl-C at the station's console reaches the
// station alone.
#include <windows.h>

#include <atomic>

#include "app/station/child_process.h"

namespace fwdl::station {

struct ChildProcess::Handles {
  HANDLE process = nullptr;
  HANDLE input = nullptr, output = nullptr, errors = nullptr;
  std::atomic<bool> ended{false};
};

namespace {

std::string SystemMessage(DWORD code) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                 text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

// One argument as the C runtime's command-line parser reads it back:
// quoted when it holds a space or a quote, backslashes doubled before a quote.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

std::size_t ReadPipe(HANDLE pipe, char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(pipe, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;  // ended
  return got;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  std::string& why) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
    why = SystemMessage(GetLastError());
    return nullptr;
  }
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
    why = SystemMessage(GetLastError());
    CloseHandle(in_read);
    CloseHandle(in_write);
    return nullptr;
  }
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
    why = SystemMessage(GetLastError());
    for (HANDLE h : {in_read, in_write, out_read, out_write}) CloseHandle(h);
    return nullptr;
  }
  // The station's ends stay with the station.
  for (HANDLE h : {in_write, out_read, err_read}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);

  std::string command = Quoted(program);
  for (const std::string& a : arguments) command += " " + Quoted(a);

  HANDLE inherited[3] = {in_read, out_write, err_write};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list(list_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  InitializeProcThreadAttributeList(attributes, 1, 0, &list_size);
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                            sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in_read;
  startup.StartupInfo.hStdOutput = out_write;
  startup.StartupInfo.hStdError = err_write;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                     &startup.StartupInfo, &info);
  const DWORD error = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  for (HANDLE h : {in_read, out_write, err_write}) CloseHandle(h);
  if (!started) {
    why = program + ": " + SystemMessage(error);
    for (HANDLE h : {in_write, out_read, err_read}) CloseHandle(h);
    return nullptr;
  }
  CloseHandle(info.hThread);
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  child->handles_.reset(new Handles);
  child->handles_->process = info.hProcess;
  child->handles_->input = in_write;
  child->handles_->output = out_read;
  child->handles_->errors = err_read;
  return child;
}

ChildProcess::~ChildProcess() {
  if (!handles_->ended) {
    TerminateProcess(handles_->process, 1);
    WaitForSingleObject(handles_->process, INFINITE);
  }
  for (HANDLE h : {handles_->input, handles_->output, handles_->errors, handles_->process}) {
    CloseHandle(h);
  }
}

bool ChildProcess::Write(std::string_view text) {
  while (!text.empty()) {
    DWORD put = 0;
    if (!WriteFile(handles_->input, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
        put == 0) {
      return false;
    }
    text.remove_prefix(put);
  }
  return true;
}

std::size_t ChildProcess::ReadOutput(char* buffer, std::size_t size) {
  return ReadPipe(handles_->output, buffer, size);
}

std::size_t ChildProcess::ReadErrors(char* buffer, std::size_t size) {
  return ReadPipe(handles_->errors, buffer, size);
}

void ChildProcess::Kill() {
  if (!handles_->ended) TerminateProcess(handles_->process, 1);
}

int ChildProcess::Wait() {
  WaitForSingleObject(handles_->process, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(handles_->process, &code);
  handles_->ended = true;
  return static_cast<int>(code);
}

std::string ThisProgram() {
  char path[MAX_PATH * 2] = "";
  const DWORD size = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, size);
}

}  // namespace fwdl::station
