// instrument-sim: plays a Vardelo instrument on a serial line, for service
// training, demonstrations and tests. Without a device it opens a new
// pseudo-terminal and prints the path of the program's end on its first
// line. Every received byte can be logged; the received firmware is written
// to a file for comparison.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "instrument.h"
#include "rx_buffer.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

const char kUsage[] =
    "usage: instrument-sim [options] [DEVICE]\n"
    "Plays a Vardelo instrument. Without DEVICE it opens a pseudo-terminal and\n"
    "prints its path; point the program's port at it (FWDL_COM1=PATH).\n"
    "  --log FILE               every received byte, as received\n"
    "  --image-out FILE         the HEX file body or DVB image received\n"
    "  -v                       hex dump of everything received on stderr\n"
    "  --baud N                 take bytes no faster than a line of N baud carries\n"
    "                           (8N1: N/10 bytes a second), holding the program back\n"
    "                           with XOFF/XON when 2 KB are in flight, as a real line\n"
    "                           would; default: as fast as it can\n"
    "  --rx-buffer N            (with --baud) the instrument holds at most N bytes that\n"
    "                           have crossed the line, taken out at the flash rate; XOFF\n"
    "                           when N less the margin are in, XON at the low mark. Bytes\n"
    "                           that come while it is full are lost (--log still has\n"
    "                           them): no success report for that image, an error verdict\n"
    "                           for that HEX file. On exit, on stderr:\n"
    "                           instrument-sim: rx-buffer: lost L bytes; at most M bytes\n"
    "                           after an XOFF; H holds\n"
    "  --flash-rate B           bytes a second taken out of it; default 2880\n"
    "  --rx-margin N            default 128 (a quarter of N, for N under 512)\n"
    "  --rx-low N               default half the XOFF level\n"
    "Carriage return:   --prompt-delay MS, --no-prompt\n"
    "HEX loader:        --charger-ms MS, --wake-bytes N, --no-wake-prompt,\n"
    "                   --wake-prompt-delay MS, --probe prompt|other|silent,\n"
    "                   --quiet-ms MS, --verdict ok|error|short|none\n"
    "DVB receiver:      --no-go-ahead, --flash-ms MS, --no-report,\n"
    "                   --result-tail TEXT (\\r \\n \\\\ \\xHH), --xoff-at N, --xoff-ms MS\n"
    "Standard input takes the commands: burst N, say TEXT, pull, quit. pull ends\n"
    "the simulator as a pulled cable would, once the program has read all it was\n"
    "sent (at most 10 s later).\n";

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "instrument-sim: " << problem << "\n" << kUsage;
  std::exit(2);
}

using sim::RunCommand;
using sim::Unescape;

struct Config {
  sim::Options options;
  std::string device, log_path, image_path;
  bool verbose = false;
  long long baud = 0;  // 0: read as fast as possible
  std::optional<sim::RxBufferOptions> rx;
};

Config Parse(int argc, char** argv) {
  Config c;
  auto& o = c.options;
  long long rx_size = 0, rx_margin = -1, rx_low = -1;
  double flash_rate = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(arg + " needs a value");
      return argv[++i];
    };
    auto number = [&]() -> long long {
      const std::string v = value();
      try {
        return std::stoll(v);
      } catch (const std::exception&) {
        Usage(arg + ": not a number: " + v);
      }
    };
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      std::exit(0);
    } else if (arg == "--log") {
      c.log_path = value();
    } else if (arg == "--image-out") {
      c.image_path = value();
    } else if (arg == "-v") {
      c.verbose = true;
    } else if (arg == "--baud") {
      c.baud = number();
      if (c.baud <= 0) Usage("--baud: must be above 0");
    } else if (arg == "--prompt-delay") {
      o.prompt_delay_ms = number();
    } else if (arg == "--no-prompt") {
      o.answer_prompt = false;
    } else if (arg == "--charger-ms") {
      o.charger_ms = number();
    } else if (arg == "--wake-bytes") {
      o.wake_bytes = static_cast<unsigned>(number());
    } else if (arg == "--no-wake-prompt") {
      o.wake_prompt = false;
    } else if (arg == "--wake-prompt-delay") {
      o.wake_prompt_delay_ms = number();
    } else if (arg == "--probe") {
      const std::string v = value();
      if (v == "prompt") o.probe = sim::Probe::Prompt;
      else if (v == "other") o.probe = sim::Probe::Other;
      else if (v == "silent") o.probe = sim::Probe::Silent;
      else Usage("--probe: " + v);
    } else if (arg == "--quiet-ms") {
      o.quiet_ms = number();
    } else if (arg == "--verdict") {
      const std::string v = value();
      if (v == "ok") o.verdict = sim::Verdict::Ok;
      else if (v == "error") o.verdict = sim::Verdict::Error;
      else if (v == "short") o.verdict = sim::Verdict::Short;
      else if (v == "none") o.verdict = sim::Verdict::None;
      else Usage("--verdict: " + v);
    } else if (arg == "--no-go-ahead") {
      o.go_ahead = false;
    } else if (arg == "--flash-ms") {
      o.flash_ms = number();
    } else if (arg == "--no-report") {
      o.report = false;
    } else if (arg == "--result-tail") {
      try {
        o.result_tail = Unescape(value());
      } catch (const std::invalid_argument& error) {
        Usage(std::string("--result-tail: ") + error.what());
      }
    } else if (arg == "--xoff-at") {
      o.xoff_at = number();
    } else if (arg == "--xoff-ms") {
      o.xoff_ms = number();
    } else if (arg == "--rx-buffer") {
      rx_size = number();
      if (rx_size <= 0) Usage("--rx-buffer: must be above 0");
    } else if (arg == "--flash-rate") {
      flash_rate = static_cast<double>(number());
      if (flash_rate <= 0) Usage("--flash-rate: must be above 0");
    } else if (arg == "--rx-margin") {
      rx_margin = number();
      if (rx_margin < 0) Usage("--rx-margin: must not be below 0");
    } else if (arg == "--rx-low") {
      rx_low = number();
      if (rx_low < 0) Usage("--rx-low: must not be below 0");
    } else if (!arg.empty() && arg[0] == '-') {
      Usage("unknown option " + arg);
    } else if (c.device.empty()) {
      c.device = arg;
    } else {
      Usage("one device only");
    }
  }
  if (rx_size == 0) {
    if (flash_rate > 0 || rx_margin >= 0 || rx_low >= 0) Usage("these options need --rx-buffer");
    return c;
  }
  if (c.baud == 0) Usage("--rx-buffer needs --baud: its bytes cross a line of that rate");
  sim::RxBufferOptions rx = sim::RxBufferFor(static_cast<std::size_t>(rx_size));
  if (flash_rate > 0) rx.flash_rate = flash_rate;
  if (rx_margin >= 0) {
    rx.margin = static_cast<std::size_t>(rx_margin);
    if (rx.margin < rx.size) rx.low_mark = (rx.size - rx.margin) / 2;
  }
  if (rx_low >= 0) rx.low_mark = static_cast<std::size_t>(rx_low);
  if (const std::string problem = sim::RxBufferProblem(rx); !problem.empty()) {
    Usage("--rx-buffer: " + problem);
  }
  c.rx = rx;
  return c;
}

// The instrument's own end of a real serial line: 57600 8N1, raw, XON/XOFF.
bool ConfigureDevice(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag |= IXON | IXOFF;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetspeed(&t, B57600);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Whether the program has read all that reached its end of the
// pseudo-terminal. Polling a terminal first moves what is still on its way
// into the queue that is read, so nothing in transit is missed.
bool ReadByTheProgram(int program_end) {
  if (program_end < 0) return true;  // a real device: what is on the wire is gone
  pollfd unread{program_end, POLLIN, 0};
  return poll(&unread, 1, 0) == 0;
}

std::string HexDump(const unsigned char* data, ssize_t size) {
  std::ostringstream out;
  char cell[4];
  for (ssize_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", data[i]);
    out << cell;
  }
  return out.str();
}

// Reads no faster than a line of `baud` carries: a bucket of read credit
// that fills at baud/10 bytes a second and holds at most a receive FIFO's
// worth, so that an idle line does not save up credit for a burst.
class Pace {
 public:
  explicit Pace(long long baud) : bytes_per_us_(static_cast<double>(baud) / 10 / 1e6) {}
  bool paced() const { return bytes_per_us_ > 0; }
  // Bytes that may be read now (at most `wanted`).
  std::size_t Allowed(std::size_t wanted) {
    if (!paced()) return wanted;
    Refill();
    return std::min(wanted, static_cast<std::size_t>(credit_));
  }
  void Took(std::size_t bytes) {
    if (paced()) credit_ -= static_cast<double>(bytes);
  }
  // Milliseconds until one more byte may be read.
  int WaitMs() {
    Refill();
    if (!paced() || credit_ >= 1) return 0;
    return std::max(1, static_cast<int>((1 - credit_) / bytes_per_us_ / 1000 + 0.999));
  }

 private:
  void Refill() {
    const auto now = std::chrono::steady_clock::now();
    const double us = std::chrono::duration<double, std::micro>(now - last_).count();
    last_ = now;
    credit_ = std::min(kFifo, credit_ + us * bytes_per_us_);
  }
  static constexpr double kFifo = 64;
  double bytes_per_us_;
  double credit_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  const Config config = Parse(argc, argv);
  std::signal(SIGINT, [](int) { stop_requested = 1; });
  std::signal(SIGTERM, [](int) { stop_requested = 1; });
  std::signal(SIGPIPE, SIG_IGN);
  // The requests to end come in only while the loop waits (ppoll): one that
  // came between its check and its wait would otherwise wait for ever.
  sigset_t ends, waiting;
  sigemptyset(&ends);
  sigaddset(&ends, SIGINT);
  sigaddset(&ends, SIGTERM);
  sigprocmask(SIG_BLOCK, &ends, &waiting);

  int line = -1;
  int keep_open = -1;  // our copy of the program's end: no hang-up between its sessions
  if (config.device.empty()) {
    int program_end = -1;
    if (openpty(&line, &program_end, nullptr, nullptr, nullptr) != 0) {
      std::perror("instrument-sim: openpty");
      return 1;
    }
    // Raw until the program sets the line up itself. After that only the
    // program touches the settings: on Linux both ends share one record.
    termios t{};
    tcgetattr(program_end, &t);
    cfmakeraw(&t);
    tcsetattr(program_end, TCSANOW, &t);
    keep_open = program_end;
    std::cout << ttyname(program_end) << std::endl;
  } else {
    line = open(config.device.c_str(), O_RDWR | O_NOCTTY);
    if (line < 0 || !ConfigureDevice(line)) {
      std::perror(("instrument-sim: " + config.device).c_str());
      return 1;
    }
    std::cout << config.device << std::endl;
  }
  fcntl(line, F_SETFL, fcntl(line, F_GETFL) | O_NONBLOCK);

  std::ofstream log;
  if (!config.log_path.empty()) log.open(config.log_path, std::ios::binary | std::ios::trunc);

  sim::Instrument instrument(config.options);
  Pace pace(config.baud);
  std::optional<sim::RxBuffer> rx;
  if (config.rx) rx.emplace(*config.rx);
  const auto start = std::chrono::steady_clock::now();
  auto now = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  // Bytes for the program: a flow-control byte goes ahead of the rest, as
  // a UART sends it; `sent` counts what of `outgoing` has gone out, so that
  // a flood of megabytes is not moved in memory at every write.
  std::string flow;
  std::string outgoing;
  std::size_t sent = 0;
  // A paced line: bytes read from the program but not yet delivered at the
  // line's rate. The pseudo-terminal itself would buffer some 16 KB, three
  // seconds of a 57600-baud line, so it is read at once and the program is
  // held back with XOFF instead while this much is in flight. What is on
  // the wire reaches the instrument whatever it sends: with a receive
  // buffer, the wire feeds it, and the buffer's XOFF and XON go out here too.
  std::string wire;
  constexpr std::size_t kWireHigh = 2048, kWireLow = 512;
  bool line_held = false;   // the last flow byte sent was XOFF
  bool pace_held = false;   // ... and the line (pacing or receive buffer) sent it
  auto send_flow = [&](char byte) {
    flow += byte;
    line_held = byte == 0x13;
  };
  bool saved_complete = false;
  bool stdin_open = true;
  std::string command;
  std::optional<long long> pull_by;  // "pull": the cable goes once the program has read

  while (!stop_requested) {
    if (pace.paced()) {
      const std::size_t n = pace.Allowed(wire.size());
      if (n > 0) {
        pace.Took(n);
        if (log.is_open()) log.write(wire.data(), static_cast<std::streamsize>(n)).flush();
        if (rx) {
          rx->Arrive(wire.data(), n, now());
        } else {
          instrument.Receive(reinterpret_cast<const std::uint8_t*>(wire.data()), n, now());
        }
        wire.erase(0, n);
      }
      if (rx) {
        for (const sim::RxBuffer::Piece& piece : rx->Take(now())) {
          if (piece.lost_before > 0) instrument.Lost(piece.lost_before, now());
          instrument.Receive(piece.bytes, now());
        }
      }
      const bool rx_held = rx && rx->WantsHold();
      if ((wire.size() > kWireHigh || rx_held) && !line_held) {
        send_flow(0x13);
        pace_held = true;
      } else if (wire.size() < kWireLow && !rx_held && pace_held && !instrument.Holding(now())) {
        send_flow(0x11);
        pace_held = false;
      }
    }
    const std::string said = instrument.TakeOutput(now());
    for (char c : said) {
      if (c == 0x11 || c == 0x13) line_held = c == 0x13;
    }
    outgoing += said;
    while (!flow.empty()) {
      if (write(line, flow.data(), 1) != 1) break;
      flow.erase(0, 1);
    }
    while (flow.empty() && sent < outgoing.size()) {
      const ssize_t n = write(line, outgoing.data() + sent, outgoing.size() - sent);
      if (n <= 0) break;  // the program is not reading; try again when it does
      sent += static_cast<std::size_t>(n);
    }
    if (sent == outgoing.size() || sent > (1u << 20)) {
      outgoing.erase(0, sent);
      sent = 0;
    }
    for (const std::string& event : instrument.TakeEvents()) {
      std::cerr << "instrument-sim: " << now() << " ms: " << event << std::endl;
    }
    for (const std::string& event : rx ? rx->TakeEvents() : std::vector<std::string>{}) {
      std::cerr << "instrument-sim: " << now() << " ms: " << event << std::endl;
    }
    if (instrument.complete() && !saved_complete && !config.image_path.empty()) {
      std::ofstream(config.image_path, std::ios::binary | std::ios::trunc) << instrument.received();
      std::cerr << "instrument-sim: wrote " << config.image_path << std::endl;
    }
    saved_complete = instrument.complete();
    if (pull_by && ((flow.empty() && sent == outgoing.size() && ReadByTheProgram(keep_open)) ||
                    now() >= *pull_by)) {
      break;
    }

    int timeout = -1;
    if (const auto due = instrument.NextDue()) {
      timeout = static_cast<int>(std::max<long long>(0, *due - now()));
    }
    // A paced line delivers its next byte when the line has carried it.
    if (!wire.empty()) {
      const int pace_wait = std::max(pace.WaitMs(), 1);
      timeout = timeout < 0 ? pace_wait : std::min(timeout, pace_wait);
    }
    if (const auto due = rx ? rx->NextDue() : std::nullopt) {
      const int flash_wait = static_cast<int>(std::max<long long>(0, *due - now()));
      timeout = timeout < 0 ? flash_wait : std::min(timeout, flash_wait);
    }
    if (pull_by) timeout = timeout < 0 ? 5 : std::min(timeout, 5);  // watching the program read
    const bool unsent = !flow.empty() || sent < outgoing.size();
    pollfd fds[2] = {{line, static_cast<short>(POLLIN | (unsent ? POLLOUT : 0)), 0},
                     {STDIN_FILENO, POLLIN, 0}};
    const timespec wait{timeout / 1000, timeout % 1000 * 1'000'000L};
    if (ppoll(fds, stdin_open ? 2 : 1, timeout < 0 ? nullptr : &wait, &waiting) < 0) {
      if (errno == EINTR) continue;
      std::perror("instrument-sim: poll");
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      unsigned char buffer[65536];
      const ssize_t got = read(line, buffer, sizeof buffer);
      if (got > 0) {
        if (config.verbose) std::cerr << "instrument-sim: rx " << HexDump(buffer, got) << '\n';
        if (pace.paced()) {
          wire.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
        } else {
          if (log.is_open()) log.write(reinterpret_cast<const char*>(buffer), got).flush();
          instrument.Receive(buffer, static_cast<std::size_t>(got), now());
        }
      }
    }
    // A real device that has gone (unplugged) hangs up: nothing more to play.
    if (keep_open < 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
        !(fds[0].revents & POLLIN)) {
      std::cerr << "instrument-sim: " << config.device << " has gone" << std::endl;
      break;
    }
    if (stdin_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      char c = 0;
      if (read(STDIN_FILENO, &c, 1) != 1) {
        stdin_open = false;
      } else if (c != '\n') {
        command += c;
      } else if (command == "pull") {
        if (!pull_by) pull_by = now() + 10'000;
        command.clear();
      } else {
        const bool go_on = RunCommand(instrument, command, now());
        command.clear();
        if (!go_on) break;
      }
    }
  }
  if (rx) {
    std::cerr << "instrument-sim: rx-buffer: lost " << rx->lost() << " bytes; at most "
              << rx->most_after_xoff() << " bytes after an XOFF; " << rx->holds() << " holds"
              << std::endl;
  }
  if (keep_open >= 0) close(keep_open);
  close(line);
  return 0;
}
