#include "app/station/slot_processes.h"

#include <thread>
#include <utility>

#include "app/station/child_process.h"

namespace fwdl::station {

struct SlotProcesses::Process {
  std::unique_ptr<ChildProcess> child;
  std::thread output, errors;
};

namespace {

// Hands each whole line of what `read` returns to `line`, until the pipe ends.
template <typename Read, typename Line>
void ReadLines(Read read, Line line) {
  constexpr std::size_t kLongest = 1 << 16;  // a longer "line" is no event
  std::string pending;
  char buffer[4096];
  while (const std::size_t got = read(buffer, sizeof buffer)) {
    pending.append(buffer, got);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string whole = pending.substr(0, end);
      if (!whole.empty() && whole.back() == '\r') whole.pop_back();
      line(std::move(whole));
      pending.erase(0, end + 1);
    }
    if (pending.size() > kLongest) {
      line(std::move(pending));
      pending.clear();
    }
  }
  if (!pending.empty()) line(std::move(pending));
}

}  // namespace

SlotProcesses::SlotProcesses(std::size_t slots, Listener listener)
    : program_(ThisProgram()), listener_(std::move(listener)) {
  running_.resize(slots);
}

SlotProcesses::~SlotProcesses() {
  KillAll();
  for (const auto& running : running_) {
    if (!running) continue;
    running->output.join();
    running->errors.join();
  }
}

std::optional<std::string> SlotProcesses::Start(int slot,
                                                const std::vector<std::string>& arguments) {
  std::string why;
  auto child = ChildProcess::Start(program_, arguments, why);
  if (!child) return why;
  auto running = std::make_unique<Process>();
  ChildProcess* process = child.get();
  running->child = std::move(child);
  running->errors = std::thread([this, slot, process] {
    ReadLines([&](char* b, std::size_t n) { return process->ReadErrors(b, n); },
              [&](std::string line) { listener_.errors(slot, std::move(line)); });
  });
  running->output = std::thread([this, slot, process] {
    ReadLines([&](char* b, std::size_t n) { return process->ReadOutput(b, n); },
              [&](std::string line) { listener_.output(slot, std::move(line)); });
    listener_.ended(slot, process->Wait());
  });
  running_[slot] = std::move(running);
  return std::nullopt;
}

bool SlotProcesses::Write(int slot, const std::string& line) {
  return running_[slot] && running_[slot]->child->Write(line);
}

void SlotProcesses::Reap(int slot) {
  if (std::unique_ptr<Process> running = std::move(running_[slot])) {
    running->output.join();
    running->errors.join();
  }
}

void SlotProcesses::WriteAll(const std::string& line) {
  for (const auto& running : running_) {
    if (running) (void)running->child->Write(line);
  }
}

void SlotProcesses::KillAll() {
  for (const auto& running : running_) {
    if (running) running->child->Kill();
  }
}

}  // namespace fwdl::station
