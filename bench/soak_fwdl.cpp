// A soak of fwdl: DVB downloads of examples/demo.bin back to back, then HEX
// downloads of examples/demo.hex, each against a new instrument-sim on a new
// pseudo-terminal at full speed, with pulled cables, Ctrl-Cs, XOFF holds and
// error verdicts at fixed runs. Every run must end with its exit code and
// record outcome, every image that arrives must be byte-exact, and fwdl's
// open file descriptors and resident memory must be the same in the last
// runs as in the first. Exit status 1 when anything is wrong.
//
//   build/soak_fwdl [DVB_RUNS [HEX_RUNS]]     (default: 500 200)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>
#include <nlohmann/json.hpp>

#include "bench/soak.h"
#include "support/sim_process.h"

namespace {

using fwdl::bench::Series;
using fwdl::testing::SimProcess;
using Clock = std::chrono::steady_clock;

// What is mixed into a run: every 50 runs one of each, at fixed places.
enum class Event { kNone, kXoffHold, kPulledCable, kCtrlC, kErrorVerdict };

Event EventOf(bool hex, int run) {
  switch (run % 50) {
    case 10: return hex ? Event::kCtrlC : Event::kXoffHold;  // HEX: during the search
    case 25: return Event::kPulledCable;
    case 40: return hex ? Event::kErrorVerdict : Event::kCtrlC;  // DVB: during the image
    default: return Event::kNone;
  }
}

const char* NameOf(Event event) {
  switch (event) {
    case Event::kNone: return "plain";
    case Event::kXoffHold: return "XOFF hold";
    case Event::kPulledCable: return "pulled cable";
    case Event::kCtrlC: return "Ctrl-C";
    case Event::kErrorVerdict: return "error verdict";
  }
  return "";
}

// How a run must go: the simulator's options, the line of fwdl's output on
// which the bench acts, and the end.
struct Plan {
  // The answer comes 500 ms after the file, time enough to measure fwdl.
  std::vector<std::string> sim = {"--charger-ms", "0", "--flash-ms", "500"};
  std::string act_on;  // the pulled cable or the Ctrl-C comes on this line
  int code = 0;
  std::string outcome = "success";
  bool image = true;  // the whole image reaches the instrument
};

Plan PlanOf(bool hex, Event event) {
  Plan p;
  auto add = [&](std::initializer_list<std::string> more) { p.sim.insert(p.sim.end(), more); };
  auto interrupted = [&](const char* act_on, int code, const char* outcome) {
    p.act_on = act_on;
    p.code = code;
    p.outcome = outcome;
    p.image = false;
  };
  // A cable pulled or a Ctrl-C in the middle of the transfer: the line at
  // its real pace, so that 10 % comes seconds before the end.
  switch (event) {
    case Event::kNone: break;
    case Event::kXoffHold: add({"--xoff-at", "150000", "--xoff-ms", "2000"}); break;
    case Event::kPulledCable:
      add({"--baud", "57600"});
      interrupted("10% done", 4, "port_lost");
      break;
    case Event::kCtrlC:
      if (hex) {
        add({"--charger-ms", "1000000"});  // the loader never wakes
        interrupted("Searching...", 130, "search_aborted");
      } else {
        add({"--baud", "57600"});
        interrupted("10% done", 130, "exited");
      }
      break;
    case Event::kErrorVerdict:
      add({"--verdict", "error"});
      p.code = 1;
      p.outcome = "error_verdict";
      break;
  }
  return p;
}

// fwdl as its own process with nothing open but its standard streams; the
// bench reads its output (standard error too) line by line as it comes.
class Fwdl {
 public:
  explicit Fwdl(std::vector<std::string> args) {
    args.insert(args.begin(), FWDL_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // fork, not posix_spawn: a child started on its parent's memory (vfork)
    // keeps the parent's peak as its own in ru_maxrss, which wait4 reports.
    pid = fork();
    if (pid == 0) {
      dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      close_range(3, ~0U, 0);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (pid < 0) throw std::runtime_error("cannot start fwdl");
  }
  ~Fwdl() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      Wait();
    }
    close(out_);
  }
  Fwdl(const Fwdl&) = delete;
  Fwdl& operator=(const Fwdl&) = delete;

  // The next line of output; none at its end or when `until` has passed.
  std::optional<std::string> NextLine(Clock::time_point until) {
    for (;;) {
      if (const std::size_t end = buffer_.find('\n', taken_); end != std::string::npos) {
        const std::size_t from = std::exchange(taken_, end + 1);
        return buffer_.substr(from, end - from);
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) {
        output_ended = true;
        return {};
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // Stops the process where it is; false when it had ended already.
  bool Stop() {
    kill(pid, SIGSTOP);
    if (wait4(pid, &status_, WUNTRACED, &usage_) == pid && WIFSTOPPED(status_)) return true;
    ended_ = true;
    return false;
  }
  void Continue() const { kill(pid, SIGCONT); }
  // The exit code (128 + the signal when killed), and the peak resident
  // memory in KiB.
  int Wait(long* peak_kib = nullptr) {
    if (!ended_) wait4(pid, &status_, 0, &usage_);
    ended_ = true;
    pid = -1;
    if (peak_kib) *peak_kib = usage_.ru_maxrss;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  const std::string& output() const { return buffer_; }

  pid_t pid = -1;
  bool output_ended = false;

 private:
  int out_ = -1;
  std::string buffer_;
  std::size_t taken_ = 0;
  int status_ = 0;
  rusage usage_{};
  bool ended_ = false;
};

// Figures of the runs of one procedure that sent the whole file, taken
// while fwdl waits for the instrument's answer ("FLASHING", "100% done").
struct Figures {
  Series fds{"open fds", "", 0};
  Series vm_rss{"VmRSS then", "KiB", 256};
  Series peak_rss{"peak RSS (wait4)", "KiB", 256};
  Series wall{"wall time of a plain run", "s"};
  std::vector<std::string> first_fds;
};

}  // namespace

int main(int argc, char** argv) {
  const int dvb_runs = argc > 1 ? std::stoi(argv[1]) : 500;
  const int hex_runs = argc > 2 ? std::stoi(argv[2]) : 200;
  const std::string examples = EXAMPLES_DIR;
  const std::string dvb_file = examples + "/demo.bin", hex_file = examples + "/demo.hex";
  std::string hex_body = SimProcess::Slurp(hex_file);  // as the loader takes it: no CRs
  std::erase(hex_body, '\r');
  const std::string dvb_image = SimProcess::Slurp(dvb_file);

  char dir_template[] = "/tmp/fwdl-soak-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string records_path = dir + "/records.jsonl";
  std::ifstream records;
  const std::vector<std::string> bench_fds = fwdl::bench::OpenFds("self");
  Figures figures[2];  // DVB, HEX
  int failures = 0, counted[2][5] = {};
  auto fail = [&](int run, bool hex, Event event, const std::string& what) {
    std::printf("run %d (%s, %s): %s\n", run + 1, hex ? "HEX" : "DVB", NameOf(event), what.c_str());
    ++failures;
  };

  const auto start = Clock::now();
  for (int run = 0; run < dvb_runs + hex_runs; ++run) {
    const bool hex = run >= dvb_runs;
    const Event event = EventOf(hex, hex ? run - dvb_runs : run);
    const Plan plan = PlanOf(hex, event);
    ++counted[hex][static_cast<int>(event)];
    Figures& f = figures[hex];
    std::filesystem::remove(dir + "/image.out");
    const auto run_start = Clock::now();
    SimProcess sim(dir, plan.sim, /*keep_errors=*/true);
    Fwdl fwdl({hex ? "hex" : "dvb", "--port", sim.path, "--yes", "--record", records_path,
               hex ? hex_file : dvb_file});

    const std::string pid = std::to_string(fwdl.pid);
    const auto until = run_start + std::chrono::seconds(120);
    // Measured 200 ms after the file has gone out, while fwdl waits for the
    // instrument's answer: its file closed by then, its port still open.
    // Held still meanwhile, so that it cannot end in the middle.
    auto measure = [&] {
      if (!fwdl.Stop()) return false;
      const std::vector<std::string> fds = fwdl::bench::OpenFds(pid);
      f.vm_rss.values.push_back(fwdl::bench::StatusKiB(pid, "VmRSS"));
      fwdl.Continue();
      f.fds.values.push_back(static_cast<double>(fds.size()));
      if (std::none_of(fds.begin(), fds.end(),
                       [&](const std::string& fd) { return fd.ends_with(" -> " + sim.path); })) {
        fail(run, hex, event, "the port was not open when measured");
      }
      if (f.first_fds.empty()) f.first_fds = fds;
      if (fds.size() != f.first_fds.size()) {
        std::string shown;
        for (const std::string& fd : fds) shown += ", " + fd;
        fail(run, hex, event, std::to_string(fds.size()) + " open fds, " +
                                  std::to_string(f.first_fds.size()) + " at the first" + shown);
      }
      return true;
    };
    auto measure_at = Clock::time_point::max();
    bool measured = false;
    while (!fwdl.output_ended && Clock::now() < until) {
      const auto line = fwdl.NextLine(std::min(measure_at, until));
      if (Clock::now() >= measure_at) {
        measure_at = Clock::time_point::max();
        measured = measure();
      }
      if (!line) continue;
      if (*line == plan.act_on) {
        if (event == Event::kPulledCable) sim.Kill();
        if (event == Event::kCtrlC) kill(fwdl.pid, SIGINT);
      }
      if (*line == (hex ? "100% done" : "FLASHING") && !measured) {
        measure_at = Clock::now() + std::chrono::milliseconds(200);
      }
    }
    if (Clock::now() >= until) {
      kill(fwdl.pid, SIGKILL);
      fail(run, hex, event, "no end within 120 s");
    }
    long peak = 0;
    const int code = fwdl.Wait(&peak);
    const double seconds = std::chrono::duration<double>(Clock::now() - run_start).count();

    if (code != plan.code) {
      fail(run, hex, event, "exit code " + std::to_string(code) + ", expected " +
                                std::to_string(plan.code) + "; its output:\n" + fwdl.output());
    }
    if (plan.image != measured) {
      fail(run, hex, event, measured ? "went on after the interruption" : "not measured");
    }
    if (measured) {
      f.peak_rss.values.push_back(static_cast<double>(peak));
      if (event == Event::kNone) f.wall.values.push_back(seconds);
    }
    const bool arrived = std::filesystem::exists(sim.image_path);
    if (plan.image && sim.Image() != (hex ? hex_body : dvb_image)) {
      fail(run, hex, event, arrived ? "the image differs at the instrument" : "no image arrived");
    } else if (!plan.image && arrived) {
      fail(run, hex, event, "a whole image arrived although the run was interrupted");
    }
    // Its record: one line, the outcome and exit code of this run.
    if (!records.is_open()) records.open(records_path);
    records.clear();
    std::string record;
    if (!std::getline(records, record)) {
      fail(run, hex, event, "no record line");
    } else {
      const auto r = nlohmann::json::parse(record, nullptr, false);
      if (r.is_discarded() || r.value("outcome", "") != plan.outcome ||
          r.value("exit_code", -1) != plan.code) {
        fail(run, hex, event, "record " + record + ", expected outcome " + plan.outcome);
      }
    }
    if ((run + 1) % 50 == 0) {
      std::printf("%d runs, %.0f s, %d wrong\n", run + 1,
                  std::chrono::duration<double>(Clock::now() - start).count(), failures);
      std::fflush(stdout);
    }
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  records.close();

  std::printf("\n%d DVB and %d HEX runs in %.0f s (%.2f s a run)\n", dvb_runs, hex_runs, total,
              total / std::max(1, dvb_runs + hex_runs));
  bool flat = true;
  for (int hex = 0; hex < 2; ++hex) {
    std::printf("%s:", hex ? "HEX" : "DVB");
    for (int e = 0; e < 5; ++e) {
      if (counted[hex][e] > 0) std::printf(" %d %s", counted[hex][e], NameOf(Event(e)));
    }
    std::printf("; %zu measured\n", figures[hex].fds.values.size());
    for (const Series* s : {&figures[hex].fds, &figures[hex].vm_rss, &figures[hex].peak_rss,
                            &figures[hex].wall}) {
      flat = s->Report(50) && flat;
    }
  }
  // Nothing left behind: no process of either program, no child of the
  // bench, no descriptor more in the bench than before the first run.
  const int leftovers = fwdl::bench::Leftovers({FWDL_PATH, INSTRUMENT_SIM_PATH});
  const bool children = waitpid(-1, nullptr, WNOHANG) != -1;
  const std::vector<std::string> fds_after = fwdl::bench::OpenFds("self");
  std::printf("left behind: %d processes, %s, bench fds %zu before, %zu after\n", leftovers,
              children ? "a child of the bench" : "no child", bench_fds.size(), fds_after.size());
  std::printf("wrong runs: %d\n", failures);
  std::filesystem::remove_all(dir);
  return failures == 0 && flat && leftovers == 0 && !children && fds_after == bench_fds ? 0 : 1;
}
