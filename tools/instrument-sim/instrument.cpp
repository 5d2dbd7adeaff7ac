#include "instrument.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint8_t kEscape = 0x1B;
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr char kHeaderStart[] = {0x23, 0x04, 0x78, 0x56, 0x34, 0x12};

std::string Banner(unsigned size, bool prompt) {
  const std::string text = "\r\nVardelo loader\r\n";
  std::string out;
  while (out.size() < size) out += text;
  out.resize(size);
  if (prompt && size > 0) out.back() = '>';
  return out;
}

}  // namespace

std::string VerdictText(Verdict verdict) {
  // The program shows the line that ends 9 bytes before the end of the
  // answer ("?" lines: 6), so each answer carries a short trailing line.
  switch (verdict) {
    case Verdict::Ok: return "Programming...\nFirmware programmed OK\nRestart\n";
    case Verdict::Error: return "Programming...\n?Checksum error\nBye.\n";
    case Verdict::Short: return "Error\n";
    case Verdict::None: return "";
  }
  return "";
}

Instrument::Instrument(Options options) : options_(std::move(options)) {}

void Instrument::Receive(const std::uint8_t* data, std::size_t size, Millis now) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    switch (state_) {
      case State::Idle: Idle(byte, now); break;
      case State::LoaderFile:
        received_.push_back(static_cast<char>(byte));
        verdict_due_ = now + options_.quiet_ms;
        break;
      case State::Header:
        header_.push_back(static_cast<char>(byte));
        if (header_.size() == 10) {
          if (!std::equal(std::begin(kHeaderStart), std::end(kHeaderStart), header_.begin())) {
            Event("bad DVB header");
            state_ = State::Idle;
            break;
          }
          image_length_ = 0;
          for (int k = 3; k >= 0; --k) {
            image_length_ = image_length_ << 8 | static_cast<std::uint8_t>(header_[6 + k]);
          }
          Event("DVB header: " + std::to_string(image_length_) + " bytes follow");
          state_ = State::Image;
          if (image_length_ == 0) FinishImage(now);
        }
        break;
      case State::Image: Image(byte, now); break;
    }
  }
}

void Instrument::Idle(std::uint8_t byte, Millis now) {
  recent_.push_back(static_cast<char>(byte));
  if (recent_.size() > 3) recent_.erase(0, recent_.size() - 3);

  if (recent_ == "SX\r") {
    Event("command SX");
    recent_.clear();
    if (options_.go_ahead) {
      Schedule(now, "#");
      header_.clear();
      received_.clear();
      complete_ = damaged_ = false;
      state_ = State::Header;
    }
    return;
  }
  switch (byte) {
    case '\r':
      if (loader_awake_) {
        Event("carriage return probe");
        if (options_.probe == Probe::Prompt) Schedule(now, ">");
        if (options_.probe == Probe::Other) Schedule(now, "E\r\n");
      } else if (options_.answer_prompt) {
        Schedule(now + options_.prompt_delay_ms, ">");
      }
      break;
    case 'F':
      if (!first_wake_) {
        first_wake_ = now;
        Event("wake-up; charger on in " + std::to_string(options_.charger_ms) + " ms");
      }
      if (now - *first_wake_ < options_.charger_ms) break;  // no power yet
      if (!loader_awake_) Event("loader awake");
      loader_awake_ = true;
      if (options_.wake_prompt && options_.wake_prompt_delay_ms > 0) {
        Schedule(now, Banner(options_.wake_bytes, false));
        Schedule(now + options_.wake_prompt_delay_ms, ">");
      } else {
        Schedule(now, Banner(options_.wake_bytes, options_.wake_prompt));
      }
      break;
    case 'L':
      if (loader_awake_) loader_listening_ = true;
      break;
    case 'Y':
      if (loader_listening_) {
        Event("loader takes the file");
        loader_listening_ = false;
        received_.clear();
        complete_ = damaged_ = false;
        state_ = State::LoaderFile;
        verdict_due_ = now + options_.quiet_ms;
      }
      break;
    case 'Q':
      Event("quit");
      loader_awake_ = false;
      loader_listening_ = false;
      first_wake_.reset();
      break;
    default: break;
  }
}

void Instrument::Image(std::uint8_t byte, Millis now) {
  // Chunks are not marked on the wire: the escape state runs across them.
  if (escape_.empty() && byte != kEscape) {
    ImageByte(byte, now);
    return;
  }
  escape_.push_back(static_cast<char>(byte));
  if (escape_.size() < 3) return;
  const auto high = static_cast<std::uint8_t>(escape_[1]);
  const auto low = static_cast<std::uint8_t>(escape_[2]);
  escape_.clear();
  // After a loss such errors follow from it; the loss has been told.
  if (((high & 0x0F) != 0 || (low & 0xF0) != 0) && !damaged_) Event("bad escape sequence");
  ImageByte(static_cast<std::uint8_t>(high | low), now);
}

void Instrument::ImageByte(std::uint8_t byte, Millis now) {
  received_.push_back(static_cast<char>(byte));
  if (options_.xoff_at >= 0 && received_.size() == static_cast<std::size_t>(options_.xoff_at)) {
    Event("holding the line with XOFF for " + std::to_string(options_.xoff_ms) + " ms");
    Schedule(now, std::string(1, kXoff));
    Schedule(now + options_.xoff_ms, std::string(1, kXon));
    hold_until_ = now + options_.xoff_ms;
  }
  if (received_.size() == image_length_) FinishImage(now);
}

void Instrument::Lost(std::size_t count, Millis) {
  if (state_ == State::Idle) return;  // a command byte that never came
  if (!damaged_) {
    Event(std::to_string(count) + " bytes lost on the way in: this " +
          (state_ == State::LoaderFile ? "file" : "image") + " fails");
  }
  damaged_ = true;
}

void Instrument::FinishImage(Millis now) {
  complete_ = true;
  state_ = State::Idle;
  recent_.clear();
  if (damaged_) {
    Event("image complete: " + std::to_string(received_.size()) + " bytes, with bytes lost; " +
          "not flashed, no report");
    return;
  }
  Event("image complete: " + std::to_string(received_.size()) + " bytes; flashing");
  if (options_.report) {
    Schedule(now + options_.flash_ms, "Flashed successfully..." + options_.result_tail,
             "report sent");
  }
}

void Instrument::Burst(std::size_t count, Millis now) {
  std::string bytes(count, 'A');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>('A' + i % 26);
  Schedule(now, std::move(bytes));
}

void Instrument::Schedule(Millis due, std::string bytes, std::string event) {
  pending_.push_back({due, std::move(bytes), std::move(event)});
}

std::string Instrument::TakeOutput(Millis now) {
  if (state_ == State::LoaderFile && verdict_due_ && now >= *verdict_due_) {
    Event("file ended after " + std::to_string(received_.size()) + " bytes; verdict");
    complete_ = true;
    state_ = State::Idle;
    verdict_due_.reset();
    // A loader that lost bytes of the file finds its checksums wrong.
    const bool spoilt = damaged_ && options_.verdict == Verdict::Ok;
    Schedule(now, VerdictText(spoilt ? Verdict::Error : options_.verdict));
  }
  std::string out;
  // In order of due time; equal times keep the order they were scheduled in.
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Pending& a, const Pending& b) { return a.due < b.due; });
  auto it = pending_.begin();
  for (; it != pending_.end() && it->due <= now; ++it) {
    out += it->bytes;
    if (!it->event.empty()) Event(it->event);
  }
  pending_.erase(pending_.begin(), it);
  return out;
}

std::optional<Millis> Instrument::NextDue() const {
  std::optional<Millis> next;
  if (state_ == State::LoaderFile && verdict_due_) next = verdict_due_;
  for (const Pending& p : pending_) {
    if (!next || p.due < *next) next = p.due;
  }
  return next;
}

std::vector<std::string> Instrument::TakeEvents() {
  std::vector<std::string> taken;
  taken.swap(events_);
  return taken;
}

}  // namespace sim
