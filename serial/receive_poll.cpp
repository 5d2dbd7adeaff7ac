// The 10 ms receive poll, the receive buffer and Delay.
#include <algorithm>
#include <cstring>

#include "serial_link.h"

namespace fwdl {

namespace {

// The log line of one read: its text up to a zero byte, and of a long read
// (a flood) only the start, so that the log's newest lines stay small.
std::string LogLine(const char* text) {
  const std::size_t length = std::strlen(text);
  if (length <= kLogLineMax) return std::string(text, length);
  return std::string(text, kLogLineMax) + " ... (" + std::to_string(length - kLogLineMax) +
         " more bytes)";
}

}  // namespace

void SerialLink::Timer1Timer() {
  // A bound message is open: its own event loop delivers further ticks,
  // which must not open another one inside it.
  if (!PortOpen() || showing_bound_error_) return;

  const PortResult waiting = ports_.WaitingCount(ComHandle);
  if (waiting.lost()) {
    LosePort(waiting.error);
    return;
  }
  if (waiting.count == 0) return;
  if (waiting.count > kReadLimit) {
    ShowBoundError("ERROR, Stat.cbInQue is out of bounds...");
    return;
  }

  // Bytes that nobody will read are logged but start over at the front
  // each time instead of filling the buffer: those that come while the
  // program is idle, and those that come while a write waits for a held
  // line (every procedure resets the count once its write has gone out).
  // The poll still drains the port meanwhile, so that the instrument's XON
  // is never stuck behind its own chatter.
  if (!procedure_running_ || writing_) buffer_.StartExchange();
  const std::uint32_t wanted = std::min({waiting.count, kReadAreaSize - 1, buffer_.Room()});
  if (wanted == 0) return;
  const PortResult read = ports_.Read(ComHandle, read_area_.data(), wanted);
  if (read.lost()) {
    LosePort(read.error);
    return;
  }
  const std::uint32_t BytesRead = read.count;
  if (BytesRead > wanted) {
    // Only a faulty platform read gets here; nothing it delivered is kept.
    ShowBoundError("ERROR, BytesRead is out of bounds...");
    return;
  }
  if (BytesRead > 0) {
    buffer_.Append(read_area_.data(), BytesRead);
    read_area_[BytesRead] = '\0';
    window_.AppendLogLine(LogLine(read_area_.data()));
  }
  if (buffer_.PastFillLimit()) ShowBoundError("ERROR, ComBufPointer is out of bounds...");
  buffer_.WrapIfDue();
}

void SerialLink::ShowBoundError(const char* text) {
  showing_bound_error_ = true;
  window_.MessageBox(text, "", BoxButtons::Ok);
  showing_bound_error_ = false;
  if (PortOpen()) closure_ = Closure::kBoundError;
  Exit1Click();
}

void SerialLink::Timer2Timer() { timers_.SetEnabled(Timer::Timer2, false); }

void SerialLink::Delay(unsigned ms) {
  timers_.SetEnabled(Timer::Timer2, false);
  timers_.SetInterval(Timer::Timer2, static_cast<int>(std::max(ms, 1U)));
  timers_.SetEnabled(Timer::Timer2, true);
  // Ends early when the port closes (Exit, a lost device) during the wait.
  while (timers_.Enabled(Timer::Timer2) && PortOpen()) window_.WaitForEvents();
  timers_.SetEnabled(Timer::Timer2, false);
}

}  // namespace fwdl
