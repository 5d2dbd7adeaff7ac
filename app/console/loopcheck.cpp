#include "loopcheck.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>
#include <vector>

#include "app/run/exit_codes.h"
#include "serial/serial_link.h"

namespace fwdl::console {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kRun = 1024;  // a DVB chunk's worth a write, as a download writes
constexpr double kLineBytesPerSecond = 5760;
constexpr auto kGiveUp = 10s;  // no progress for this long: the line is stuck

// What A sends: every byte value but XON and XOFF, which a download never
// sends as data either, in an order that shows a lost or doubled byte.
std::vector<std::uint8_t> Pattern(std::uint32_t size) {
  std::vector<std::uint8_t> values;
  for (int b = 0; b < 256; ++b) {
    if (b != 0x11 && b != 0x13) values.push_back(static_cast<std::uint8_t>(b));
  }
  std::vector<std::uint8_t> pattern(size);
  for (std::uint32_t i = 0; i < size; ++i) pattern[i] = values[(i * 7 + i / 254) % values.size()];
  return pattern;
}

// Opens a port with the program's line settings; B, the instrument, keeps
// no flow control of its own: it sends XON and XOFF itself.
PortHandle OpenLine(SerialPorts& ports, const std::string& name, bool instrument,
                    std::string& failure) {
  const OpenResult opened = ports.Open(name);
  if (opened.handle == kInvalidPortHandle) {
    failure = name + ": cannot open: " + opened.error.reason;
    return kInvalidPortHandle;
  }
  LineSettings settings;
  (void)ports.GetState(opened.handle, settings);
  WriteLineSettings(settings);
  if (instrument) settings.fOutX = settings.fInX = false;
  if (const PortError error = ports.SetState(opened.handle, settings); error.failed()) {
    failure = name + ": cannot set the line settings: " + error.reason;
    ports.Close(opened.handle);
    return kInvalidPortHandle;
  }
  ports.ResumeOutput(opened.handle);
  return opened.handle;
}

// B: takes what arrives into a buffer that drains at its own pace, and
// holds A back with XOFF when it is nearly full.
class Receiver {
 public:
  Receiver(SerialPorts& ports, PortHandle port, const std::vector<std::uint8_t>& expected,
           const LoopSettings& settings, LoopResult& result)
      : ports_(ports), port_(port), expected_(expected), settings_(settings), result_(result) {}

  // Until everything sent has arrived, or nothing more comes.
  void Run(const std::atomic<bool>& writing, const std::atomic<std::uint64_t>& sent) {
    auto last = Clock::now(), last_arrival = last;
    double fill = 0;
    std::array<std::uint8_t, 4096> in;
    for (;;) {
      std::this_thread::sleep_for(1ms);
      const auto now = Clock::now();
      fill = std::max(0.0, fill - std::chrono::duration<double>(now - last).count() *
                                      settings_.drain_per_s);
      last = now;
      const PortResult waiting = ports_.WaitingCount(port_);
      const PortResult got = waiting.count > 0
                                 ? ports_.Read(port_, in.data(), std::min<std::uint32_t>(
                                                                     waiting.count, in.size()))
                                 : waiting;
      if (got.error.failed()) {
        result_.failure = "B: " + got.error.reason;
        return;
      }
      if (got.count > 0) last_arrival = now;
      for (std::uint32_t i = 0; i < got.count; ++i) Take(in[i], fill);
      if (!held_ && fill >= settings_.buffer - settings_.margin) Send(true);
      if (held_ && fill <= settings_.buffer / 4.0) Send(false);
      if (!writing && (result_.arrived >= sent || now - last_arrival > 3s)) break;
    }
    if (held_) Send(false);
  }

 private:
  void Take(std::uint8_t byte, double& fill) {
    if (result_.arrived >= expected_.size() || byte != expected_[result_.arrived]) ++result_.damaged;
    ++result_.arrived;
    if (fill + 1 > settings_.buffer) {
      ++result_.lost;
    } else {
      fill += 1;
    }
    if (held_) result_.most_after_xoff = std::max(result_.most_after_xoff, ++after_xoff_);
  }
  void Send(bool xoff) {
    const char c = xoff ? 0x13 : 0x11;
    (void)ports_.Write(port_, &c, 1, kWriteWaitMs);
    held_ = xoff;
    after_xoff_ = 0;
    if (xoff) ++result_.holds;
  }

  SerialPorts& ports_;
  PortHandle port_;
  const std::vector<std::uint8_t>& expected_;
  const LoopSettings& settings_;
  LoopResult& result_;
  bool held_ = false;
  std::uint64_t after_xoff_ = 0;
};

std::string Line(const char* mode, const LoopResult& r) {
  char text[400];
  std::snprintf(text, sizeof text,
                "%s: %llu bytes in %.1f s, %.0f bytes/s (%.2f of the line's 5760); at most %llu "
                "bytes after an XOFF (%d holds); %llu lost, %llu damaged, %llu missing: %s",
                mode, static_cast<unsigned long long>(r.sent), r.seconds,
                r.seconds > 0 ? static_cast<double>(r.arrived) / r.seconds : 0.0,
                r.seconds > 0 ? static_cast<double>(r.arrived) / r.seconds / kLineBytesPerSecond : 0.0,
                static_cast<unsigned long long>(r.most_after_xoff), r.holds,
                static_cast<unsigned long long>(r.lost), static_cast<unsigned long long>(r.damaged),
                static_cast<unsigned long long>(r.sent > r.arrived ? r.sent - r.arrived : 0),
                r.Held() ? "holds" : "does not hold");
  return text;
}

}  // namespace

LoopResult RunLoop(SerialPorts& ports_a, const std::string& a, SerialPorts& ports_b,
                   const std::string& b, const LoopSettings& settings) {
  LoopResult result;
  const PortHandle port_b = OpenLine(ports_b, b, /*instrument=*/true, result.failure);
  if (port_b == kInvalidPortHandle) return result;
  const PortHandle port_a = OpenLine(ports_a, a, /*instrument=*/false, result.failure);
  if (port_a == kInvalidPortHandle) {
    ports_b.Close(port_b);
    return result;
  }
  const std::vector<std::uint8_t> pattern = Pattern(settings.bytes);
  std::atomic<bool> writing{true};
  std::atomic<std::uint64_t> sent{0};
  Receiver receiver(ports_b, port_b, pattern, settings, result);
  const auto start = Clock::now();
  std::thread instrument([&] { receiver.Run(writing, sent); });

  // A, as a download writes: a run at a time, short waits while held, and
  // the input read between them as the receive poll would.
  std::array<std::uint8_t, 4096> in;
  auto progress = Clock::now();
  std::string failure;
  while (sent < pattern.size() && failure.empty()) {
    const auto run = static_cast<std::uint32_t>(std::min<std::uint64_t>(kRun, pattern.size() - sent));
    const PortResult r = ports_a.Write(port_a, pattern.data() + sent, run, kWriteWaitMs);
    sent += r.count;
    const PortResult waiting = ports_a.WaitingCount(port_a);
    if (waiting.count > 0) (void)ports_a.Read(port_a, in.data(), std::min<std::uint32_t>(waiting.count, in.size()));
    if (r.error.failed() || waiting.error.failed()) {
      failure = "A: " + (r.error.failed() ? r.error : waiting.error).reason;
    }
    if (r.count > 0) progress = Clock::now();
    if (Clock::now() - progress > kGiveUp) failure = "A: held for 10 s, and never released";
  }
  writing = false;
  instrument.join();
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.sent = sent;
  if (!failure.empty()) result.failure = failure;
  ports_a.Close(port_a);
  ports_b.Close(port_b);
  return result;
}

int LoopCheck(const std::string& a, const std::string& b, std::ostream& out) {
  out << "A: " << DescribePort(a) << "\nB: " << DescribePort(b) << "\n";
  const SerialDevice device = DescribeDevice(PortDevice(a));
  const LoopSettings settings;
  out << "B plays an instrument: a receive buffer of " << settings.buffer << " bytes emptied at "
      << settings.drain_per_s << " bytes/s, XOFF with " << settings.margin
      << " bytes free, XON at a quarter\n";
  LoopResult results[2];
  const FlowMode modes[2] = {FlowMode::kKernel, FlowMode::kProgram};
  const char* names[2] = {"XON/XOFF kept by the kernel (the driver or the adapter)",
                          "XON/XOFF kept by the program"};
  for (int i = 0; i < 2; ++i) {
    PortOptions options;
    options.flow = modes[i];
    SystemSerialPorts ports_a(options), ports_b;
    results[i] = RunLoop(ports_a, a, ports_b, b, settings);
    if (!results[i].failure.empty() && results[i].sent == 0) {
      out << names[i] << ": " << results[i].failure << "\n";
      return static_cast<int>(ExitCode::kPortUnusable);
    }
    out << Line(names[i], results[i]) << (results[i].failure.empty() ? "" : " (" + results[i].failure + ")")
        << std::endl;
  }
  const std::string driver = device.driver.empty() ? "its driver" : "driver " + device.driver;
  const char* chosen = FlowModeName(device.flow);
  for (int i = 0; i < 2; ++i) {
    if (!results[i].Held()) continue;
    out << "Recommended for A (" << driver << "): " << FlowModeName(modes[i])
        << " (--flow " << FlowModeName(modes[i]) << ", FWDL_FLOW=" << FlowModeName(modes[i])
        << "); fwdl chooses " << chosen << " for it by itself\n";
    return static_cast<int>(ExitCode::kSuccess);
  }
  out << "Neither mode held: check the cable (a null-modem cable, TX to RX both ways) and the "
         "adapters\n";
  return static_cast<int>(ExitCode::kFailed);
}

}  // namespace fwdl::console
