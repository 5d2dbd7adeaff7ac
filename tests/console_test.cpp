// fwdl, the console front end: whole runs as a script would make them,
// against the simulated instrument on a pseudo-terminal, and its window
// operations on the real clock.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

#include "app/console/console_window.h"
#include "app/console/ports_list.h"
#include "app/run/console_os.h"
#include "app/run/exit_codes.h"
#include "app/run/progress_line.h"
#include "support/fake_system.h"
#include "support/pty.h"
#include "support/real_rig.h"
#include "support/sim_process.h"

namespace fwdl {
namespace {

using namespace std::chrono_literals;
using testing::SimProcess;
using testing::TempFile;

// fwdl as its own process: input from a pipe, output to a file (standard
// error to another, when asked); `environment` ("NAME=value") set for it
// over the test's own.
class Fwdl {
 public:
  explicit Fwdl(std::vector<std::string> args, bool apart = false,
                std::vector<std::string> environment = {})
      : out_("", "out"), err_("", "err"), apart_(apart) {
    args.insert(args.begin(), FWDL_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
      const std::string_view name(*e, std::strcspn(*e, "="));
      if (std::none_of(environment.begin(), environment.end(), [&](const std::string& set) {
            return set.compare(0, name.size() + 1, std::string(name) + "=") == 0;
          })) {
        envp.push_back(*e);
      }
    }
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2];
    if (pipe(in) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.path.c_str(), O_WRONLY, 0);
    if (apart) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.path.c_str(), O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];
    if (failed != 0) throw std::runtime_error("cannot start fwdl");
  }
  ~Fwdl() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void Interrupt() { kill(pid_, SIGINT); }
  void Type(const std::string& text) const {
    ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Waits up to `ms` for `text` in what fwdl has printed so far.
  bool Shows(const std::string& text, int ms) const {
    for (int waited = 0; waited < ms; waited += 50) {
      if (SimProcess::Slurp(out_.path).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // Waits for the end: the exit code (128 + signal when killed).
  int Wait() {
    close(input_);
    input_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    output = SimProcess::Slurp(out_.path);
    if (apart_) errors = SimProcess::Slurp(err_.path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string output;  // standard output, and error unless apart
  std::string errors;  // standard error, when apart

 private:
  TempFile out_, err_;
  bool apart_;
  pid_t pid_ = -1;
  int input_ = -1;
};

std::string Folder(const TempFile& file) { return std::filesystem::path(file.path).parent_path(); }

// The instrument's log with the run of wake-up pings folded to one: how
// many go out depends on when the charger comes.
std::string FoldPings(const std::string& log) {
  return std::regex_replace(log, std::regex("^F+"), "F");
}

// The same file through fwdl and through the procedures as the window runs
// them reaches the instrument as the same bytes.
TEST(Console, HexAndDvbSendWhatTheWindowSends) {
  const std::vector<std::string> hex_sim = {"--charger-ms", "100", "--quiet-ms", "400"};
  const std::vector<std::string> dvb_sim = {"--flash-ms", "100"};
  TempFile bin(testing::EveryByteImage(5000), "image.bin");
  const std::string hex = EXAMPLES_DIR "/demo.hex";
  struct Case {
    std::string command, file;
    std::vector<std::string> sim;
  };
  for (const Case& c : {Case{"hex", hex, hex_sim}, Case{"dvb", bin.path, dvb_sim}}) {
    SCOPED_TRACE(c.command);
    TempFile console_dir(""), window_dir("");
    SimProcess console_sim(Folder(console_dir), c.sim);
    Fwdl run({c.command, "--port", console_sim.path, "--yes", c.file});
    EXPECT_EQ(run.Wait(), 0) << run.output;

    SimProcess window_sim(Folder(window_dir), c.sim);
    testing::RealRig rig(window_sim.path);
    rig.window.dialog_answers = {c.file};
    if (c.command == "hex") {
      rig.core.Button1Click();
      EXPECT_NE(run.output.find("[INFO]\nFirmware programmed OK\n"), std::string::npos)
          << run.output;
    } else {
      rig.core.Button3Click();
      EXPECT_TRUE(console_sim.Image() == SimProcess::Slurp(bin.path));
      // Piped: plain lines, each figure once, no escape codes.
      EXPECT_EQ(run.output.find_first_of("\r\x1b"), std::string::npos);
      std::istringstream lines(run.output);
      int figures = 0, last = -1;
      for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("(\\d+)% done"))) continue;
        EXPECT_GT(std::stoi(m[1]), last) << line;
        last = std::stoi(m[1]);
        ++figures;
      }
      EXPECT_EQ(last, 100);
      EXPECT_LE(figures, 101);
    }
    ASSERT_FALSE(window_sim.Received().empty());
    // The last byte ("Q") may still be on its way to the window's instrument.
    for (int i = 0; i < 100 && FoldPings(console_sim.Received()) != FoldPings(window_sim.Received());
         ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(FoldPings(console_sim.Received()) == FoldPings(window_sim.Received()))
        << "the console and the window put different bytes on the line";
  }
}

TEST(Console, EachEndHasItsExitCode) {
  TempFile not_hex("no HEX file\r\n", "firmware.hex");
  TempFile broken(":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FE\r\n",
                  "broken.hex");
  const std::string hex = EXAMPLES_DIR "/demo.hex";
  struct Case {
    const char* what;
    std::vector<std::string> sim, args;  // "PORT" stands for the instrument's line
    int code;
    std::string shown;
    bool touched = true;  // anything reached the instrument
  };
  const Case cases[] = {
      {"error verdict", {"--charger-ms", "100", "--quiet-ms", "400", "--verdict", "error"},
       {"hex", "--port", "PORT", "-y", hex}, 1,
       "[ERROR]\nError while downloading.\n'?Checksum error'\nPlease try again...\n"},
      {"no contact", {"--no-prompt"}, {"dvb", "-p", "PORT", "-y", hex}, 3,
       "No contact with Instrument...\nRemove power"},
      {"not a HEX file", {"--charger-ms", "100"},
       {"hex", "--port=PORT", "-y", "--no-check", not_hex.path}, 5,
       "Not a valid Instrument-firmware file."},
      {"a broken HEX file, checked first", {"--charger-ms", "100"},
       {"hex", "--port", "PORT", "-y", broken.path}, 5,
       "line 2, column 10: checksum is 0xFE, the record's bytes need 0xFF", false},
      {"the same, its outcome named", {}, {"hex", "--port", "PORT", "-y", "--json", broken.path}, 5,
       R"("outcome":"file_invalid")", false},
      {"no such file", {}, {"dvb", "--port", "PORT", "-y", "/nonexistent.bin"}, 5, "cannot be read"},
      {"no such port", {}, {"dvb", "--port", "/dev/nonexistent", "-y", hex}, 4,
       "ERROR, Can't use comport '/dev/nonexistent'."},
      {"no port given", {}, {"dvb", "-y", hex}, 2, "no --port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile dir("");
    SimProcess sim(Folder(dir), c.sim);
    std::vector<std::string> args = c.args;
    for (std::string& a : args) a = std::regex_replace(a, std::regex("PORT"), sim.path);
    Fwdl run(args);
    EXPECT_EQ(run.Wait(), c.code) << run.output;
    EXPECT_NE(run.output.find(c.shown), std::string::npos) << run.output;
    EXPECT_FALSE(testing::HeldExclusively(sim.path)) << "the next run would find the port busy";
    if (!c.touched) {
      EXPECT_EQ(sim.Received(), "") << "the instrument was touched";
    }
  }
}

// The SHA-256 of a file, by another program than fwdl.
std::string Sha256Sum(const std::string& path) {
  std::string digest(64, '\0');
  FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  if (!pipe || fread(digest.data(), 1, digest.size(), pipe) != digest.size()) digest.clear();
  if (pipe) pclose(pipe);
  return digest;
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// Every run leaves one record line, however it ended, and each field tells
// what happened: the file by its digest, the bytes by the instrument's log.
struct RecordCase {
  const char* what;
  std::vector<std::string> sim;
  bool hex;
  const char* outcome;
  int code;
  std::string instrument_text;  // "PORT" stands for the instrument's line
  const char* flow = "auto";
  // Ctrl-C, or the cable pulled, during the search (once the instrument
  // has had some pings)...
  bool interrupt_searching = false, pull_searching = false;
  // ... or the cable pulled just after the instrument tells this.
  const char* pull_on = nullptr;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.what; }

class RecordOfARun : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordOfARun, TellsWhatHappened) {
  const RecordCase& c = GetParam();
  TempFile dir(""), records("", "records.jsonl");
  TempFile image(testing::EveryByteImage(3000), "image.bin");
  const std::string firmware = c.hex ? EXAMPLES_DIR "/demo.hex" : image.path;
  SimProcess sim(Folder(dir), c.sim, /*keep_errors=*/c.pull_on != nullptr);
  Fwdl run({c.hex ? "hex" : "dvb", "--port", sim.path, "--yes", "--record", records.path,
            "--serial", "SN 0042", "--flow", c.flow, firmware});
  if (c.interrupt_searching || c.pull_searching) {
    for (int i = 0; i < 600 && sim.Received().size() < 5; ++i) std::this_thread::sleep_for(50ms);
  }
  if (c.interrupt_searching) run.Interrupt();
  if (c.pull_searching) sim.Kill();
  if (c.pull_on) {
    for (int i = 0; i < 600 && sim.Errors().find(c.pull_on) == std::string::npos; ++i) {
      std::this_thread::sleep_for(50ms);
    }
    sim.Pull();  // once fwdl's poll has read the answer
  }
  EXPECT_EQ(run.Wait(), c.code) << run.output;
  const std::string lines = SimProcess::Slurp(records.path);
  ASSERT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
  const auto r = nlohmann::json::parse(lines);
  const std::size_t written = r["bytes_written"];
  const std::string log =
      sim.ReceivedOnce([&](const std::string& l) { return c.pull_searching || l.size() >= written; });
  const bool pulled = c.pull_searching || c.pull_on;

  EXPECT_EQ(r["outcome"], c.outcome);
  EXPECT_EQ(r["exit_code"], c.code);
  EXPECT_EQ(r["procedure"], c.hex ? "hex" : "dvb");
  EXPECT_EQ(r["port"], sim.path);
  EXPECT_EQ(r["device"], sim.path);
  EXPECT_EQ(r["flow_control"], c.flow == std::string("program") ? "program" : "kernel");
  EXPECT_TRUE(r["adapter"]["driver"].is_null()) << "a pseudo-terminal has no adapter";
  EXPECT_EQ(r["firmware"]["path"], firmware);
  EXPECT_EQ(r["firmware"]["size"], std::filesystem::file_size(firmware));
  EXPECT_EQ(r["firmware"]["sha256"], Sha256Sum(firmware));
  if (pulled) {
    // The last pings may sit in the kernel's buffer when the instrument dies:
    // written to the line, never read. One goes out every 50 ms.
    EXPECT_LE(log.size(), written);
    EXPECT_LE(written, log.size() + 4) << "more written than the searching can have sent";
  } else {
    EXPECT_EQ(written, log.size()) << "what fwdl wrote against what the instrument got";
  }
  EXPECT_EQ(r["instrument_text"],
            std::regex_replace(c.instrument_text, std::regex("PORT"), sim.path));
  EXPECT_EQ(r["serial"], "SN 0042");
  EXPECT_EQ(r["host"], HostName());
  EXPECT_EQ(r["fwdl_version"], "1.0.0.0");
  EXPECT_TRUE(std::regex_match(r["start"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_GT(r["duration_s"].get<double>(), 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RecordOfARun,
    ::testing::Values(
        RecordCase{"success", {"--flash-ms", "100"}, false, "success", 0,
                   "Flashed successfully...\r\n>", "program"},
        RecordCase{"error verdict", {"--charger-ms", "100", "--quiet-ms", "400", "--verdict", "error"},
                   true, "error_verdict", 1, "?Checksum error"},
        RecordCase{"no contact", {"--no-prompt"}, false, "no_contact", 3, ""},
        RecordCase{"Ctrl-C", {"--charger-ms", "100000"}, true, "search_aborted", 130, "", "auto",
                   /*interrupt_searching=*/true},
        RecordCase{"pulled cable", {"--baud", "57600", "--charger-ms", "100000"}, true, "port_lost",
                   4, "", "auto", false, /*pull_searching=*/true},
        // The answer came, then the cable went: the answer is the outcome.
        RecordCase{"verdict then pulled", {"--charger-ms", "100"}, true, "success", 0,
                   "Firmware programmed OK", "auto", false, false, "; verdict"},
        RecordCase{"report then pulled", {"--flash-ms", "100"}, false, "success", 0,
                   "Flashed successfully...\r\n>", "auto", false, false, "report sent"}),
    [](const auto& info) {
      std::string name = info.param.what;
      std::erase_if(name, [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); });
      return name;
    });

// The record names the adapter as it was when the port opened: a pulled
// cable takes the adapter out of sysfs before the record is written. Here a
// pseudo-terminal stands for the adapter's node in a fake sysfs, which loses
// the adapter while the run waits for its first answer.
TEST(Console, TheRecordNamesTheAdapterThatWasPulled) {
  testing::FakeSystem fake;
  fake.Adapter("ttyUSB97", "1-1.4", "ftdi_sio", "0403:6001", "A50285BI", "FT232R USB UART");
  testing::Pty pty;
  const std::filesystem::path node = fake.root() / pty.path.substr(1);
  std::filesystem::create_directories(node.parent_path());
  std::filesystem::create_symlink(fake.root() / "dev/ttyUSB97", node);
  TempFile records("", "records.jsonl");
  Fwdl run({"dvb", "--port", pty.path, "--json", "--record", records.path,
            EXAMPLES_DIR "/demo.bin"}, /*apart=*/true, {"FWDL_SYSTEM_ROOT=" + fake.root().string()});
  ASSERT_TRUE(run.Shows(R"("event":"question")", 30'000));
  std::filesystem::remove_all(fake.root() / "sys");
  std::filesystem::remove(fake.root() / "dev/ttyUSB97");
  run.Type("{\"answer\":\"cancel\"}\n");
  EXPECT_EQ(run.Wait(), 130) << run.errors;
  const auto r = nlohmann::json::parse(SimProcess::Slurp(records.path));
  EXPECT_EQ(r["adapter"], nlohmann::json::parse(
                              R"({"driver":"ftdi_sio","usb":"0403:6001","serial_number":"A50285BI"})"));
}

// Eight runs at once append to one record file: eight whole lines.
TEST(Console, EightRunsAppendEightWholeRecords) {
  TempFile dir(""), records("", "records.jsonl");
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::unique_ptr<Fwdl>> runs;
  for (int i = 0; i < 8; ++i) {
    sims.push_back(std::make_unique<SimProcess>(Folder(dir) + "/" + std::to_string(i),
                                                std::vector<std::string>{"--no-prompt"}));
  }
  for (int i = 0; i < 8; ++i) {
    runs.push_back(std::make_unique<Fwdl>(std::vector<std::string>{
        "dvb", "--port", sims[i]->path, "--yes", "--record", records.path,
        "--serial", "unit " + std::to_string(i), EXAMPLES_DIR "/demo.bin"}));
  }
  for (auto& run : runs) EXPECT_EQ(run->Wait(), 3) << run->output;
  std::istringstream lines(SimProcess::Slurp(records.path));
  std::set<std::string> serials;
  for (std::string line; std::getline(lines, line);) {
    serials.insert(nlohmann::json::parse(line).at("serial").get<std::string>());
  }
  EXPECT_EQ(serials.size(), 8u);
}

// --json: nothing on standard output but JSON Lines, from "start" to "end".
TEST(Console, JsonEventsTellTheRunLineByLine) {
  TempFile dir("");
  TempFile image(testing::EveryByteImage(5000), "image.bin");
  SimProcess sim(Folder(dir), {"--flash-ms", "100"});
  Fwdl run({"dvb", "--port", sim.path, "--yes", "--json", image.path}, /*apart=*/true);
  EXPECT_EQ(run.Wait(), 0) << run.errors;
  std::istringstream lines(run.output);
  std::vector<nlohmann::json> events;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
  }
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["size"], 5000);
  EXPECT_EQ(events.front()["sha256"], Sha256Sum(image.path));
  EXPECT_EQ(events.back()["event"], "end");
  EXPECT_EQ(events.back()["outcome"], "success");
  EXPECT_EQ(events.back()["exit_code"], 0);
  EXPECT_EQ(events.back()["bytes_written"], sim.Received().size());
  EXPECT_EQ(events.back()["flow_control"], "kernel") << "a pseudo-terminal stops our output itself";
  std::vector<std::string> statuses, boxes;
  std::uint64_t sent = 0;
  for (const auto& e : events) {
    if (e["event"] == "status") statuses.push_back(e["text"]);
    if (e["event"] == "box") boxes.push_back(e["text"]);
    if (e["event"] == "progress" && e["text"].get<std::string>().ends_with("% done")) {
      EXPECT_GE(e["sent"].get<std::uint64_t>(), sent);
      sent = e["sent"];
      EXPECT_EQ(e["total"], 5000);
    }
  }
  EXPECT_EQ(sent, 5000u);
  EXPECT_EQ(statuses.front(), "Searching...");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1], "Download comleted.\r\n\r\nPower off instrument.");
  EXPECT_NE(run.errors.find("Download comleted."), std::string::npos) << "the text for a person";
}

// On a paced line the pseudo-terminal takes some 14 KB at once, far ahead of
// the line: the rate told is none in the first second, never above the line.
TEST(Console, JsonRateNeverPassesThePacedLine) {
  TempFile dir("");
  TempFile image(testing::EveryByteImage(30000), "image.bin");
  SimProcess sim(Folder(dir), {"--baud", "57600", "--flash-ms", "100"});
  Fwdl run({"dvb", "--port", sim.path, "--yes", "--json", image.path}, /*apart=*/true);
  EXPECT_EQ(run.Wait(), 0) << run.errors;
  std::istringstream lines(run.output);
  std::vector<nlohmann::json> rates;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json e = nlohmann::json::parse(line);
    if (e["event"] == "progress" && e["text"] != "") rates.push_back(e["rate"]);
  }
  ASSERT_GE(rates.size(), 2u) << run.output;
  EXPECT_TRUE(rates.front().is_null()) << "the first event comes as sending begins";
  // The line carries the rest in seconds: the figures come once one has passed.
  EXPECT_FALSE(rates.back().is_null()) << run.output;
  for (const auto& rate : rates) {
    if (!rate.is_null()) EXPECT_LE(rate.get<double>(), 5760) << run.output;
  }
}

// --json without --yes: the question is told, then waits for the station's
// answer on standard input; what is no answer asks again.
TEST(Console, JsonQuestionsWaitForTheStationsAnswer) {
  TempFile dir("");
  TempFile image(testing::EveryByteImage(5000), "image.bin");
  SimProcess sim(Folder(dir), {"--flash-ms", "100"});
  Fwdl run({"dvb", "--port", sim.path, "--json", image.path}, /*apart=*/true);
  ASSERT_TRUE(run.Shows(R"("event":"question")", 30'000));
  EXPECT_FALSE(run.Shows(R"("event":"box")", 300)) << "answered without an answer";
  run.Type("{\"answer\":\"maybe\"}\n{\"answer\":\"cancel\"}\n");
  EXPECT_EQ(run.Wait(), 130) << run.errors;
  std::istringstream lines(run.output);
  std::vector<nlohmann::json> events;
  for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(events.size(), 4u) << run.output;
  EXPECT_EQ(events[1]["event"], "question");
  EXPECT_EQ(events[1]["text"], "1. Turn on the instrument.\r\n2. Wait for instrument to startup "
                               "completely.\r\n3. Klick OK.\r\n");
  EXPECT_EQ(events[2]["event"], "box");
  EXPECT_EQ(events[2]["answer"], "cancel");
  EXPECT_EQ(events[3]["outcome"], "cancelled");
}

// What the simulated instrument's receive buffer went through, from its
// closing line.
struct Overflow {
  long lost = -1, after_xoff = -1, holds = -1;
};
Overflow OverflowOf(const SimProcess& sim) {
  std::smatch m;
  const std::string errors = sim.Errors();
  Overflow o;
  if (std::regex_search(errors, m,
                        std::regex(R"(rx-buffer: lost (\d+) bytes; at most (\d+) bytes after an XOFF; (\d+) holds)"))) {
    o = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3])};
  }
  return o;
}

// The instrument's receive buffer of 1 KB empties slower than the line
// fills it, so it holds the line again and again; on a pseudo-terminal the
// simulator reads at once, as an adapter whose driver ignores XOFF does.
const std::vector<std::string> kOverflowing = {"--baud", "57600", "--rx-buffer", "1024",
                                               "--flash-rate", "5000", "--flash-ms", "100"};
// The same, asking for XOFF with half its buffer free: a real instrument's
// UART hears the line at once, a simulator on a busy machine may be held up
// for tens of milliseconds (a few hundred bytes of line) before it asks.
std::vector<std::string> OverflowingWithRoom(std::vector<std::string> more = {}) {
  std::vector<std::string> options = kOverflowing;
  options.insert(options.end(), {"--rx-margin", "512"});
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

// With XON/XOFF kept by the program, a whole image arrives, not a byte lost
// (60 KB: a dozen seconds and some fifteen holds; transfer_bench runs the
// whole examples/demo.bin so).
TEST(Console, TheProgramHoldsBackForAnInstrumentThatWouldOverflow) {
  TempFile dir("");
  TempFile image(testing::EveryByteImage(60'000), "image.bin");
  SimProcess sim(Folder(dir), OverflowingWithRoom(), /*keep_errors=*/true);
  Fwdl run({"dvb", "--port", sim.path, "--yes", "--flow", "program", image.path});
  EXPECT_EQ(run.Wait(), 0) << run.output;
  sim.Kill();
  const Overflow o = OverflowOf(sim);
  std::cout << "lost " << o.lost << " bytes; at most " << o.after_xoff << " after an XOFF; "
            << o.holds << " holds\n";
  // What follows an XOFF (a few bytes on an idle machine) grows when a busy
  // machine holds the simulator up; what must not happen is a lost byte.
  EXPECT_EQ(o.lost, 0);
  EXPECT_GT(o.holds, 10) << "the instrument did not hold the line: no test";
  EXPECT_TRUE(sim.Image() == SimProcess::Slurp(image.path));
  EXPECT_NE(run.output.find("XON/XOFF kept by the program"), std::string::npos) << run.output;
}

// The same instrument, with the kernel trusted to stop output (as it does
// not for such adapters): bytes are lost, and the model says so.
TEST(Console, WithoutTheProgramsWatchTheInstrumentOverflows) {
  TempFile dir("");
  TempFile image(testing::EveryByteImage(30'000), "image.bin");
  SimProcess sim(Folder(dir), kOverflowing, /*keep_errors=*/true);
  Fwdl run({"dvb", "--port", sim.path, "--yes", "--flow", "kernel", image.path});
  EXPECT_TRUE(run.Shows("FLASHING", 30'000)) << "the image never went out";
  run.Interrupt();  // no minute of waiting for a report that cannot come
  EXPECT_EQ(run.Wait(), 130) << run.output;
  sim.Kill();
  const Overflow o = OverflowOf(sim);
  EXPECT_GT(o.lost, 0) << "the model did not overflow";
  EXPECT_GT(o.after_xoff, 1024) << "after its XOFF, more than it can hold";
}

// The HEX loader behind such a buffer gets the whole file, in runs held
// back by its XOFF, and its verdict is OK.
TEST(Console, AHexDownloadWithTheProgramsWatchGetsItsVerdict) {
  TempFile dir("");
  SimProcess sim(Folder(dir), OverflowingWithRoom({"--charger-ms", "100", "--quiet-ms", "400"}),
                 /*keep_errors=*/true);
  Fwdl run({"hex", "--port", sim.path, "--yes", "--flow", "program", EXAMPLES_DIR "/demo.hex"});
  EXPECT_EQ(run.Wait(), 0) << run.output;
  EXPECT_NE(run.output.find("[INFO]\nFirmware programmed OK"), std::string::npos) << run.output;
  sim.Kill();
  EXPECT_EQ(OverflowOf(sim).lost, 0);
}

// The cable is pulled in the middle of the image: exit code 4, promptly.
TEST(Console, APulledCableEndsWithThePortCode) {
  TempFile dir("");
  SimProcess sim(Folder(dir), {"--baud", "57600"});
  Fwdl run({"dvb", "--port", sim.path, "--yes", EXAMPLES_DIR "/demo.bin"});
  // Pulled once part of the image is in.
  for (int i = 0; i < 600 && sim.Received().size() < 5000; ++i) std::this_thread::sleep_for(50ms);
  sim.Kill();
  EXPECT_EQ(run.Wait(), 4) << run.output;
  EXPECT_EQ(run.output.find("FLASHING"), std::string::npos) << "no minute of waiting for a lost port";
}

// Ctrl-C during the search is "Abort Search...": the loader hears "Q".
TEST(Console, CtrlCAbortsTheSearch) {
  TempFile dir("");
  SimProcess sim(Folder(dir), {"--charger-ms", "100000"});
  Fwdl run({"hex", "--port", sim.path, "--yes", "--json", EXAMPLES_DIR "/demo.hex"});
  for (int i = 0; i < 600 && sim.Received().size() < 40; ++i) std::this_thread::sleep_for(50ms);
  run.Interrupt();
  EXPECT_EQ(run.Wait(), 130) << run.output;
  EXPECT_NE(run.output.find(R"({"event":"interrupt"})"), std::string::npos) << run.output;
  const std::string log = sim.ReceivedOnce([](const std::string& l) { return l.ends_with('Q'); });
  EXPECT_EQ(log, std::string(log.size() - 1, 'F') + "Q");
  EXPECT_GT(log.size(), 40u) << "a ping every 50 ms";
}

// The instructions wait for Enter or "c" while the timers keep ticking at
// their own pace; an unanswerable question is cancelled.
TEST(Console, QuestionsWaitForTheUserWhileTimersTick) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const int saved_stdin = dup(STDIN_FILENO);
  dup2(input[0], STDIN_FILENO);
  close(input[0]);
  testing::RealClock clock;
  testing::FakePorts ports{clock};
  std::ostringstream out;
  console::ConsoleWindow window(ports, {"file", false, false}, out);
  ASSERT_TRUE(window.core().SelectPort("COM1"));  // the 10 ms poll runs
  const int& ticks = ports.device("COM1").polls;
  std::atomic<int> polled{0};
  ports.device("COM1").on_poll = [&] { ++polled; };
  // The user answers once the poll has ticked while the question waits.
  std::thread user([&] {
    for (int i = 0; i < 1000 && polled < 3; ++i) std::this_thread::sleep_for(10ms);
    (void)!write(input[1], "\nx\nc\n", 5);
    close(input[1]);
  });

  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(window.MessageBox("Ready?\r\nGo.", "", BoxButtons::OkCancel), BoxAnswer::Ok);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - asked).count();
  EXPECT_GE(ticks, 3) << "the 10 ms poll stopped while the question waited";
  EXPECT_LE(ticks, waited / 10 + 2) << "more ticks than 10 ms apart in " << waited << " ms";
  EXPECT_FALSE(window.interrupted());
  EXPECT_EQ(window.MessageBox("Again?", "", BoxButtons::OkCancel), BoxAnswer::Cancel);
  EXPECT_EQ(window.MessageBox("Once more?", "", BoxButtons::OkCancel), BoxAnswer::Cancel);
  EXPECT_TRUE(window.interrupted());
  EXPECT_EQ(window.MessageBox("Failed.", "ERROR", BoxButtons::Ok), BoxAnswer::Ok);
  user.join();
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  EXPECT_EQ(out.str().rfind("Ready?\nGo.\nEnter: OK, c Enter: Cancel > ", 0), 0u) << out.str();
  EXPECT_NE(out.str().find("[ERROR]\nFailed.\n"), std::string::npos);
}

// The exit codes are written once, in fwdl's table: the manual and fwdl's
// page of the docs give each outcome the same code, and every outcome has one.
TEST(Console, TheManualAndTheDocsTellTheTablesExitCodes) {
  const std::string manual = SimProcess::Slurp(SOURCE_DIR "/dist/linux/fwdl.1");
  const std::string page = SimProcess::Slurp(SOURCE_DIR "/docs/fwdl.md");
  const std::size_t section = manual.find(".SH EXIT STATUS");
  ASSERT_NE(section, std::string::npos);
  // ".B 4" and what follows up to the next code, in the manual.
  auto manual_text = [&](int code) {
    const std::size_t at = manual.find(".B " + std::to_string(code) + "\n", section);
    if (at == std::string::npos) return std::string();
    const std::size_t end = std::min(manual.find(".TP", at), manual.find(".SH", at + 1));
    return manual.substr(at, end - at);
  };
  for (int o = 0; o <= static_cast<int>(Outcome::kBoundError); ++o) {
    const auto outcome = static_cast<Outcome>(o);
    const int code = static_cast<int>(console::ExitCodeOf(outcome));
    const std::string name = OutcomeName(outcome);
    EXPECT_NE(manual_text(code).find(name), std::string::npos) << name << " under " << code;
    EXPECT_TRUE(std::regex_search(page, std::regex("\\| " + std::to_string(code) +
                                                     " \\| [^|]*`" + name + "`")))
        << name << " under " << code << " in docs/fwdl.md";
  }
  for (const console::ExitCodeRow& row : console::ExitCodeTable()) {
    EXPECT_FALSE(manual_text(static_cast<int>(row.code)).empty()) << static_cast<int>(row.code);
  }
}

TEST(Console, PortsListsEachDeviceWithItsComNameDriverAndFlowMode) {
  testing::FakeSystem fake;
  fake.Uart(0, 4);
  fake.Adapter("ttyUSB0", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  const std::vector<console::PortInfo> ports = console::ListPorts(fake.places());
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].device + "  " + ports[0].about,
            "/dev/ttyS0  COM1, serial8250, flow control: kernel");
  EXPECT_EQ(ports[1].device + "  " + ports[1].about,
            "/dev/ttyUSB0  COM2, ch341, USB 1a86:7523, USB Serial, flow control: program, "
            "/dev/serial/by-id/usb-USB Serial-if00");
}

// Each port with the selectors that name it alone, then each adapter that
// has no port; the same as one JSON object for a station's script.
TEST(Console, PortsNameEachPortsSelectorsAndTheAdaptersWithoutAPort) {
  testing::FakeSystem fake;
  fake.Adapter("ttyUSB0", "1-1", "ftdi_sio", "0403:6001", "A50285BI", "FT232R USB UART");
  fake.Adapter("ttyUSB1", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  fake.Adapter("ttyUSB2", "1-3", "ch341", "1a86:7523", "", "USB Serial");
  fake.AdapterWithoutPort("1-4", "1a86:7523", "");
  std::ostringstream text, json;
  EXPECT_EQ(console::PrintPorts(false, fake.places(), text), 0);
  EXPECT_EQ(text.str(),
            "/dev/ttyUSB0  COM1, ftdi_sio, USB 0403:6001, serial A50285BI, FT232R USB UART, flow "
            "control: kernel, /dev/serial/by-id/usb-FT232R USB UART_A50285BI-if00; --port "
            "usb:A50285BI or socket:1-1 or usb:0403:6001\n"
            "/dev/ttyUSB1  COM2, ch341, USB 1a86:7523, USB Serial, flow control: program, "
            "/dev/serial/by-id/usb-USB Serial-if00; --port socket:1-2\n"
            "/dev/ttyUSB2  COM3, ch341, USB 1a86:7523, USB Serial, flow control: program; --port "
            "socket:1-3\n"
            "no port: a CH340 adapter (USB 1a86:7523, socket 1-4) has no serial device: its driver "
            "is not loaded, or a service took it (brltty claims this chip on some systems); no "
            "driver has it: sudo modprobe ch341 loads the chip's driver\n");
  EXPECT_EQ(console::PrintPorts(true, fake.places(), json), 0);
  const nlohmann::json list = nlohmann::json::parse(json.str());
  ASSERT_EQ(list["ports"].size(), 3u);
  EXPECT_EQ(list["ports"][0], nlohmann::json::parse(R"({"port":"/dev/ttyUSB0","com":["COM1"],
      "name":"FT232R USB UART","driver":"ftdi_sio","usb":"0403:6001","serial":"A50285BI",
      "socket":"1-1","flow_control":"kernel","selectors":["usb:A50285BI","socket:1-1","usb:0403:6001"],
      "by_id":["/dev/serial/by-id/usb-FT232R USB UART_A50285BI-if00"],"problem":null})"));
  EXPECT_TRUE(list["ports"][2]["serial"].is_null());
  EXPECT_EQ(list["ports"][2]["selectors"], nlohmann::json::array({"socket:1-3"}));
  ASSERT_EQ(list["adapters_without_port"].size(), 1u);
  EXPECT_EQ(list["adapters_without_port"][0]["socket"], "1-4");
}

// The device a selector chose is the one the run goes to (the fake tree's
// devices are not on this machine, so the opening itself fails); one that
// fits several ports ends the run as a port that cannot be used, with the list.
TEST(Console, ARunGoesToThePortItsAdapterNames) {
  testing::FakeSystem fake;
  fake.Adapter("ttyUSB97", "1-1.4", "ftdi_sio", "0403:6001", "A50285BI", "FT232R USB UART");
  fake.Adapter("ttyUSB98", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  fake.Adapter("ttyUSB99", "1-3", "ch341", "1a86:7523", "", "USB Serial");
  const std::string image = std::string(EXAMPLES_DIR) + "/demo.bin";
  const struct {
    const char* port;
    const char* device;  // in the start event; "" when refused
  } kCases[] = {{"usb:A50285BI", "/dev/ttyUSB97"},
                {"usb:0403:6001", "/dev/ttyUSB97"},
                {"socket:1-3", "/dev/ttyUSB99"},
                {"usb:1a86:7523", ""}};
  for (const auto& c : kCases) {
    Fwdl run({"dvb", "--port", c.port, "--yes", "--json", image}, /*apart=*/true,
             {"FWDL_SYSTEM_ROOT=" + fake.root().string()});
    EXPECT_EQ(run.Wait(), 4) << c.port << ": " << run.errors;
    const nlohmann::json start = nlohmann::json::parse(run.output.substr(0, run.output.find('\n')));
    EXPECT_EQ(start["device"], c.device) << c.port;
    if (*c.device) {
      EXPECT_NE(run.errors.find(std::string("fwdl: ") + c.device + ": cannot open: No such file or "
                                "directory\n" + c.device + " is not there: the adapter was unplugged"),
                std::string::npos) << run.errors;
      // A station reads the remedy from the end event too.
      const std::string last = run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
      const nlohmann::json end = nlohmann::json::parse(last);
      EXPECT_EQ(end["outcome"], "port_unusable");
      EXPECT_EQ(end["remedy"].get<std::string>().rfind(std::string(c.device) + " is not there: ", 0), 0u)
          << last;
    } else {
      EXPECT_NE(run.errors.find("--port usb:1a86:7523 fits 2 ports (/dev/ttyUSB98, /dev/ttyUSB99)"),
                std::string::npos) << run.errors;
      EXPECT_NE(run.output.find("\"event\":\"notice\""), std::string::npos) << run.output;
    }
  }
}

// fwdl doctor: every check on its line, the problems with their remedies,
// and exit code 1 while one does not hold; a port of its own is opened and
// its line read back.
TEST(Console, DoctorTellsEachCheckWithWhatToDo) {
  {
    testing::FakeSystem fake;
    fake.Adapter("ttyACM7", "1-4", "cdc_acm", "2e8a:000a", "E66", "Board CDC");
    fake.Process(812, "ModemManager", {"/dev/ttyACM7"});
    fake.AdapterWithoutPort("1-2", "1a86:7523", "");
    Fwdl run({"doctor"}, false, {"FWDL_SYSTEM_ROOT=" + fake.root().string()});
    EXPECT_EQ(run.Wait(), 1) << run.output;
    for (const char* line :
         {"ok       port: /dev/ttyACM7: cdc_acm, USB 2e8a:000a, serial E66, Board CDC, flow control: program\n",
          "problem  holders: /dev/ttyACM7 is held by ModemManager (process 812): ModemManager takes new serial devices",
          "problem  ModemManager: running (process 812), and nothing tells it to leave /dev/ttyACM7 alone",
          "ok       flow control: /dev/ttyACM7: XON/XOFF kept by the program (driver cdc_acm)\n",
          "problem  adapter: a CH340 adapter (USB 1a86:7523, socket 1-2) has no serial device",
          "3 problems found.\n"}) {
      EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
  }
  {
    testing::FakeSystem fake;
    fake.Adapter("ttyACM7", "1-4", "cdc_acm", "2e8a:000a", "E66", "Board CDC");
    fake.UdevProperty("ttyACM7", "ID_MM_DEVICE_IGNORE=1");
    fake.Process(812, "ModemManager", {});
    Fwdl run({"doctor"}, false, {"FWDL_SYSTEM_ROOT=" + fake.root().string()});
    EXPECT_EQ(run.Wait(), 0) << run.output;
    EXPECT_NE(run.output.find("ok       ModemManager: running (process 812); udev tells it to leave "
                              "/dev/ttyACM7 alone\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Every check holds.\n"), std::string::npos) << run.output;
  }
  {
    testing::FakeSystem nothing;  // before the adapter is plugged in
    Fwdl run({"doctor"}, false, {"FWDL_SYSTEM_ROOT=" + nothing.root().string()});
    EXPECT_EQ(run.Wait(), 1) << run.output;
    EXPECT_NE(run.output.find("problem  ports: no serial device is present: is the adapter plugged in?\n"
                              "ok       group: "),
              std::string::npos) << run.output;
  }
  testing::Pty pty;
  Fwdl run({"doctor", "COM1"}, false, {"FWDL_COM1=" + pty.path});
  EXPECT_EQ(run.Wait(), 0) << run.output;
  for (const std::string& line :
       {"ok       port: COM1: " + pty.path + ": flow control: kernel\n",
        "ok       holders: " + pty.path + " is open in console_tests (process " +
            std::to_string(getpid()) + "), as the other side of a pseudo-terminal may keep it\n",
        std::string("ok       open: COM1 opened for the program alone, XON/XOFF kept by the kernel "
                    "(no driver known)\n"),
        std::string("ok       line settings: 57600 baud, 8 data bits, no parity, 1 stop bit, XON/XOFF "
                    "both ways, read back as set\n")}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
}

// Two pseudo-terminals joined as a null-modem cable joins two adapters:
// what either side writes reaches the other.
class JoinedPorts {
 public:
  JoinedPorts() : relay_([this] { Relay(); }) {}
  ~JoinedPorts() {
    stop_ = true;
    relay_.join();
  }
  testing::Pty a, b;

 private:
  void Relay() {
    char buffer[4096];
    while (!stop_) {
      pollfd p[2] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}};
      if (poll(p, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        const ssize_t n = read(p[i].fd, buffer, sizeof buffer);
        if (n > 0) (void)!write(i == 0 ? b.master : a.master, buffer, static_cast<std::size_t>(n));
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

// fwdl loopcheck over two joined ports: each mode told with its figures,
// the program's own XON/XOFF holding the receiver's small buffer, and the
// mode to use for A's driver.
TEST(Console, LoopcheckTellsWhichFlowModeHoldsAndRecommendsIt) {
  JoinedPorts cable;
  Fwdl run({"loopcheck", cable.a.path, cable.b.path});
  EXPECT_EQ(run.Wait(), 0) << run.output;
  std::cout << run.output;
  // A pseudo-terminal's buffer takes whatever is written at once: as an
  // adapter that goes on after an XOFF, the kernel's mode cannot hold.
  const std::regex kernel("XON/XOFF kept by the kernel \\(the driver or the adapter\\): 30000 bytes "
                          "[^\n]*[1-9][0-9]* lost[^\n]*: does not hold\n");
  EXPECT_TRUE(std::regex_search(run.output, kernel)) << run.output;
  const std::regex program(
      "XON/XOFF kept by the program: 30000 bytes in [0-9.]+ s, [0-9]+ bytes/s \\(0\\.[0-9]+ of the "
      "line's 5760\\); at most [0-9]+ bytes after an XOFF \\([1-9][0-9]* holds\\); 0 lost, 0 damaged, "
      "0 missing: holds");
  EXPECT_TRUE(std::regex_search(run.output, program)) << run.output;
  EXPECT_NE(run.output.find("Recommended for A (its driver): program (--flow program"),
            std::string::npos);
}

TEST(Console, ProgressLineTellsBytesRateAndTimeLeft) {
  EXPECT_EQ(console::ProgressLine("0% done", 0, 57600, {}),
            "[--------------------] 0% done  0/57,600 bytes  - B/s  -:-- left");
  EXPECT_EQ(console::ProgressLine("50% done", 28800, 57600, {2880.4, 10}),
            "[##########----------] 50% done  28,800/57,600 bytes  2,880 B/s  0:10 left");
  EXPECT_EQ(console::ProgressLine("37% done", 111111, 300326, {5555.6, 754}),
            "[#######-------------] 37% done  111,111/300,326 bytes  5,556 B/s  12:34 left");
  EXPECT_EQ(console::ProgressLine("100% done", 1234567, 1234567, {0, std::nullopt}),
            "[####################] 100% done  1,234,567/1,234,567 bytes  0 B/s  -:-- left");
}

}  // namespace
}  // namespace fwdl
