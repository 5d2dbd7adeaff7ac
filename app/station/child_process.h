// A program of our own run as a child process, its standard input, output
// and error on pipes: the station runs one fwdl per slot this way, so that
// a slot that crashes or hangs touches no other. Implemented once per
// system (child_process_posix.cpp, child_process_win32.cpp); the build
// picks one.
//
// The child runs in a process group of its own: a Ctrl-C typed at the
// station's terminal reaches the station alone, which tells each child
// itself. Only the three pipes are inherited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fwdl::station {

class ChildProcess {
 public:
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `arguments` (without the program's own name);
  // nothing, with the system's reason in `why`, when it cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             std::string& why);

  // Writes all of `text` to the child's standard input; false once the
  // child no longer reads it. Safe from any thread.
  bool Write(std::string_view text);
  // Blocks until the child writes to its standard output (or error) and
  // returns what came; 0 once that pipe has ended. One reader per pipe.
  std::size_t ReadOutput(char* buffer, std::size_t size);
  std::size_t ReadErrors(char* buffer, std::size_t size);
  // Ends the child at once.
  void Kill();
  // Blocks until the child has ended: its exit code, or 128 + the signal
  // that ended it. Once only.
  int Wait();

 private:
  ChildProcess() = default;
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

// The path of the running program, to start it again as a child.
std::string ThisProgram();

}  // namespace fwdl::station
