// The simulated instrument as its own process on a new pseudo-terminal,
// for end-to-end runs in real time.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fwdl::testing {

class SimProcess {
 public:
  // Starts instrument-sim with `options`; its log and received firmware go
  // to files in `dir`, with `keep_errors` its standard error (its events) too.
  SimProcess(const std::string& dir, std::vector<std::string> options, bool keep_errors = false)
      : log_path(dir + "/received.log"), image_path(dir + "/image.out"),
        errors_path(dir + "/errors.txt") {
    options.insert(options.begin(), {INSTRUMENT_SIM_PATH, "--log", log_path, "--image-out",
                                     image_path});
    std::vector<char*> argv;
    for (std::string& o : options) argv.push_back(o.data());
    argv.push_back(nullptr);
    int out[2], in[2];
    if (pipe(out) != 0 || pipe(in) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    if (keep_errors) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors_path.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    commands_ = in[1];
    if (failed != 0) throw std::runtime_error("cannot start instrument-sim");
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') path += c;
    close(out[0]);
    if (path.empty()) throw std::runtime_error("instrument-sim printed no path");
  }
  ~SimProcess() {
    Kill();
    close(commands_);
  }
  // Ends the simulated instrument, as pulling its cable would.
  void Kill() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Pulls the cable once the program has read all the instrument sent it
  // (the simulator waits at most 10 s for that): what came before the pull
  // is the program's to act on.
  void Pull() {
    if (pid_ < 0) return;
    Command("pull");
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // A command line on the simulator's standard input ("burst N", "say TEXT").
  void Command(const std::string& line) const {
    const std::string text = line + "\n";
    if (write(commands_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("instrument-sim takes no commands");
    }
  }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  static std::string Slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string Received() const { return Slurp(log_path); }
  // What the instrument has logged once `done` holds for it (or 5 s have
  // passed): the last bytes a program wrote before it ended may still be on
  // their way, for longer on a busy machine.
  template <typename Done>
  std::string ReceivedOnce(Done done) const {
    std::string log = Received();
    for (int i = 0; !done(log) && i < 100; ++i) {
      usleep(50'000);
      log = Received();
    }
    return log;
  }
  std::string Image() const { return Slurp(image_path); }
  std::string Errors() const { return Slurp(errors_path); }

  std::string path;  // the program's end of the line
  std::string log_path, image_path, errors_path;

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
};

}  // namespace fwdl::testing
