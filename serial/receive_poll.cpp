// The 10 ms receive poll, the receive buffer and Delay.
#include <algorithm>
#include <cstring>

#include "serial_link.h"

namespace fwdl {

void SerialLink::Timer1Timer() {
  // A bound message is open: its own event loop delivers further ticks,
  // which must not open another one inside it.
  if (!PortOpen() || showing_bound_error_) return;

  const PortResult waiting = ports_.WaitingCount(ComHandle);
  if (waiting.lost) {
    LosePort();
    return;
  }
  if (waiting.count == 0) return;
  if (waiting.count > kReadLimit) {
    ShowBoundError("ERROR, Stat.cbInQue is out of bounds...");
    return;
  }

  // Idle bytes are logged but never read by anyone: they start over at
  // the front each time instead of filling the buffer.
  if (!procedure_running_) ComBufPointer = 0;
  const std::uint32_t wanted =
      std::min({waiting.count, kReadAreaSize - 1, kComBufSize - ComBufPointer});
  if (wanted == 0) return;
  const PortResult read = ports_.Read(ComHandle, read_area_.data(), wanted);
  if (read.lost) {
    LosePort();
    return;
  }
  const std::uint32_t BytesRead = read.count;
  if (BytesRead > wanted) {
    // Only a faulty platform read gets here; nothing it delivered is kept.
    ShowBoundError("ERROR, BytesRead is out of bounds...");
    return;
  }
  if (BytesRead > 0) {
    std::memcpy(&ComBuf[ComBufPointer], read_area_.data(), BytesRead);
    ComBufPointer += BytesRead;
    read_area_[BytesRead] = '\0';
    window_.AppendLogLine(std::string(read_area_.data()));  // up to a zero byte
  }
  if (ComBufPointer > kFillLimit) ShowBoundError("ERROR, ComBufPointer is out of bounds...");
  if (ComBufPointer >= kWrapPoint) ComBufPointer = 0;
}

void SerialLink::ShowBoundError(const char* text) {
  showing_bound_error_ = true;
  window_.MessageBox(text, "", BoxButtons::Ok);
  showing_bound_error_ = false;
  Exit1Click();
}

void SerialLink::Timer2Timer() { window_.SetTimerEnabled(Timer::Timer2, false); }

void SerialLink::Delay(unsigned ms) {
  window_.SetTimerEnabled(Timer::Timer2, false);
  window_.SetTimerInterval(Timer::Timer2, static_cast<int>(std::max(ms, 1U)));
  window_.SetTimerEnabled(Timer::Timer2, true);
  // Ends early when the port closes (Exit, a lost device) during the wait.
  while (window_.TimerEnabled(Timer::Timer2) && PortOpen()) window_.WaitForEvents();
  window_.SetTimerEnabled(Timer::Timer2, false);
}

bool SerialLink::LastByteIs(std::uint8_t byte) const {
  return ComBufPointer > 0 && ComBuf[ComBufPointer - 1] == byte;
}

}  // namespace fwdl
