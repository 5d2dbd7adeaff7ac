// One fwdl at work per slot: the process and two threads that read its
// output and its errors line by line. The lines and the end are handed to
// the listener on those threads; the station posts them to its own thread.
// A slot's process is forgotten (Reap) once the listener has heard its end.
// What is left running when this goes is killed, and its threads joined.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fwdl::station {

class SlotProcesses {
 public:
  // Called on a slot's reader threads: every line of its standard output,
  // every line of its standard error, and, after the output's last line,
  // the exit code.
  struct Listener {
    std::function<void(int slot, std::string line)> output, errors;
    std::function<void(int slot, int code)> ended;
  };

  SlotProcesses(std::size_t slots, Listener listener);
  ~SlotProcesses();
  SlotProcesses(const SlotProcesses&) = delete;
  SlotProcesses& operator=(const SlotProcesses&) = delete;

  // Starts this program with `arguments` on `slot`; why it cannot, or nothing.
  std::optional<std::string> Start(int slot, const std::vector<std::string>& arguments);
  bool Running(int slot) const { return running_[slot] != nullptr; }
  // Writes `line` to the slot's standard input; false once it no longer reads.
  bool Write(int slot, const std::string& line);
  // After `ended`: waits for the slot's reader threads and forgets its process.
  void Reap(int slot);
  // To every running slot: `line` on its standard input, or an end at once.
  void WriteAll(const std::string& line);
  void KillAll();

 private:
  struct Process;
  const std::string program_;
  const Listener listener_;
  std::vector<std::unique_ptr<Process>> running_;
};

}  // namespace fwdl::station
