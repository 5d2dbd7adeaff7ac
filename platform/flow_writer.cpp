#include "flow_writer.h"

#include <algorithm>

namespace fwdl {
namespace {

// How often the input and the driver's queue are looked at while writing:
// often enough to see an XOFF at once, seldom enough to cost little.
constexpr std::chrono::milliseconds kLookInterval{1};
// What a driver may need beyond the bytes' own time on the line to take
// them: a few USB frames.
constexpr std::chrono::milliseconds kDriverSlack{10};

}  // namespace

std::uint32_t LineBytesPerSecond(const LineSettings& s) {
  const unsigned bits = 1 + s.ByteSize + (s.Parity != kNoParity ? 1 : 0) + (s.StopBits == 2 ? 2 : 1);
  return std::max<std::uint32_t>(s.BaudRate / bits, 1);
}

FlowWriter::FlowWriter(RawPort& port, std::uint32_t line_bytes_per_second)
    : port_(port), flow_(line_bytes_per_second) {}

void FlowWriter::SetLineRate(std::uint32_t bytes_per_second) {
  const bool held = flow_.held();
  flow_ = SoftwareFlow(bytes_per_second);
  if (held) flow_.Received(&SoftwareFlow::kXoff, 1);
}

PortError FlowWriter::Drain() {
  drained_ = port_.Now();
  char buffer[4096];
  // Stops when the flow state holds all it may; the receive poll takes from it.
  while (!flow_.Full()) {
    const std::size_t room = SoftwareFlow::kMostPending - flow_.pending();
    const PortResult got =
        port_.Read(buffer, static_cast<std::uint32_t>(std::min(sizeof buffer, room)));
    if (got.count > 0) flow_.Received(buffer, got.count);
    if (got.error.failed()) return got.error;
    if (got.count == 0) break;
  }
  return {};
}

std::size_t FlowWriter::DriverQueued(Clock::time_point now) {
  if (now - measured_ >= kLookInterval) {
    driver_queued_ = port_.OutputQueued();
    measured_ = now;
  }
  return driver_queued_;
}

PortResult FlowWriter::Waiting() {
  if (const PortResult waiting = port_.Waiting(); waiting.error.failed()) return waiting;
  if (const PortError error = Drain(); error.failed()) return {0, error};
  return {static_cast<std::uint32_t>(flow_.pending()), {}};
}

PortResult FlowWriter::Read(void* data, std::uint32_t count) {
  return {static_cast<std::uint32_t>(flow_.Take(static_cast<char*>(data), count)), {}};
}

PortResult FlowWriter::Write(const void* data, std::uint32_t count, Clock::time_point deadline) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t written = 0;
  while (written < count) {
    auto now = port_.Now();
    if (now - drained_ >= kLookInterval) {
      if (const PortError error = Drain(); error.failed()) return {written, error};
    }
    const std::size_t queued = DriverQueued(now);
    const std::size_t room = flow_.Room(now, queued);
    const std::size_t left = count - written;
    // A burst at a time, not a byte as soon as one has gone out.
    if (room > 0 && room >= std::min(SoftwareFlow::kBurst, left)) {
      const auto n = static_cast<std::uint32_t>(std::min(room, left));
      // The driver gets the time the bytes need: a write it has to cut
      // short may not count bytes already on their way (some USB-serial
      // drivers on Windows), and those would go out twice. Nothing holds
      // the driver here, so the wait stays short, and what it takes was
      // below us anyway.
      const PortResult r = port_.Write(bytes + written, n, now + flow_.LineTime(n) + kDriverSlack);
      flow_.Wrote(now, r.count);
      driver_queued_ += r.count;
      written += r.count;
      if (r.error.failed()) return {written, r.error};
      if (r.count > 0) continue;
    }
    // Held, or no room below us: wait for input (an XON) or for room.
    if (now >= deadline) break;
    auto wake = deadline;
    if (!flow_.held()) {
      wake = std::min(wake, flow_.NextBurst(now, std::max(queued, flow_.InFlight(now))));
    }
    if (const PortError error = port_.WaitForInput(wake); error.failed()) return {written, error};
    // Whatever woke us, look at the input and the queue again at once.
    drained_ = {};
    measured_ = {};
  }
  return {written, {}};
}

}  // namespace fwdl
