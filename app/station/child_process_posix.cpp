// POSIX side of the child process: posix_spawn with three pipes, the child
// in a process group of its own and every other descriptor closed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstring>

#include "app/station/child_process.h"

extern char** environ;

namespace fwdl::station {

struct ChildProcess::Handles {
  std::atomic<pid_t> pid{-1};  // -1 once reaped
  int input = -1, output = -1, errors = -1;
};

namespace {

std::size_t ReadPipe(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  std::string& why) {
  // A child that has ended must not end the station when its input is
  // written: the write fails instead.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // Nothing else of the station's: not its listening socket, nor another
  // slot's pipes.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    why = program + ": " + std::strerror(failed);
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    return nullptr;
  }
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  child->handles_.reset(new Handles);
  child->handles_->pid = pid;
  child->handles_->input = in[1];
  child->handles_->output = out[0];
  child->handles_->errors = err[0];
  return child;
}

ChildProcess::~ChildProcess() {
  for (int fd : {handles_->input, handles_->output, handles_->errors}) {
    if (fd >= 0) close(fd);
  }
  if (handles_->pid > 0) {
    kill(handles_->pid, SIGKILL);
    waitpid(handles_->pid, nullptr, 0);
  }
}

bool ChildProcess::Write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = write(handles_->input, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(put));
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
  if (const pid_t pid = handles_->pid; pid > 0) kill(pid, SIGKILL);
}

int ChildProcess::Wait() {
  int status = 0;
  while (waitpid(handles_->pid.load(), &status, 0) < 0 && errno == EINTR) {
  }
  handles_->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ThisProgram() {
  char path[PATH_MAX];
  const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace fwdl::station
