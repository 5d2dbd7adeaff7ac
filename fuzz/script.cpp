#include "script.h"

#include <algorithm>

namespace fwdl::fuzz {
namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t Word() {
    const std::uint32_t low = Byte();
    return low | std::uint32_t{Byte()} << 8;
  }
  std::string Bytes(std::size_t count) {
    count = std::min(count, size_ - at_);
    std::string out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

Millis DelayOf(std::uint8_t d) { return d < 200 ? Millis{d} * 10 : Millis{d - 199} * 1000; }

}  // namespace

Millis Script::HoldsAtMost() const {
  Millis total = 0;
  for (const auto& step : steps) {
    if (step.action == Action::kHold || step.action == Action::kBusy) total += step.value;
  }
  return total;
}

Script Decode(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  Script s;
  const std::uint8_t start = in.Byte();
  s.port_open = (start & 3) != 0;
  s.cancel_instructions = (start & 4) != 0;
  s.box_open_ms = Millis{in.Byte()} * 10;
  s.patience_ms = (Millis{in.Byte()} + 1) * 100;
  const std::uint8_t dialog = in.Byte();
  s.file_answer = static_cast<FileAnswer>(std::min<std::uint8_t>(dialog, 3));
  if (s.file_answer == FileAnswer::kFile) {
    const std::size_t size = in.Word();
    s.file = in.Bytes(in.Word());
    if (size > 0 && !s.file.empty()) {
      while (s.file.size() < size) s.file += s.file.substr(0, size - s.file.size());
    }
    if (size > 0) s.file.resize(size);
  }
  while (in.more()) {
    Step step;
    step.trigger = static_cast<Trigger>(in.Byte() % kTriggers);
    switch (step.trigger) {
      case Trigger::kAtOnce: break;
      case Trigger::kByte: step.count = in.Byte(); break;
      case Trigger::kBytes: step.count = in.Byte() + 1u; break;
      case Trigger::kManyBytes: step.count = (in.Byte() + 1u) * 64; break;
    }
    step.delay = DelayOf(in.Byte());
    step.action = static_cast<Action>(in.Byte() % kActions);
    switch (step.action) {
      case Action::kBytes: step.bytes = in.Bytes(in.Byte()); break;
      case Action::kPhrase: step.bytes = kPhrases[in.Byte() % kPhrases.size()]; break;
      case Action::kFlood: {
        const std::size_t count = (in.Byte() + 1u) * 1000;
        step.bytes = std::string(count, static_cast<char>(in.Byte()));
        break;
      }
      case Action::kHold:
      case Action::kBusy: step.value = (in.Byte() + 1u) * 100; break;
      case Action::kBadCount: step.value = in.Word(); break;
      case Action::kReadOverrun: step.value = in.Byte() + 1u; break;
      default: break;
    }
    s.steps.push_back(std::move(step));
  }
  return s;
}

ScriptWriter::ScriptWriter(bool port_open, bool cancel, std::uint8_t box_10ms,
                           std::uint8_t patience_100ms) {
  bytes_ += static_cast<char>((port_open ? 1 : 0) | (cancel ? 4 : 0));
  bytes_ += static_cast<char>(box_10ms);
  bytes_ += static_cast<char>(patience_100ms);
}

ScriptWriter& ScriptWriter::Dialog(FileAnswer answer) {
  bytes_ += static_cast<char>(answer);
  return *this;
}

ScriptWriter& ScriptWriter::File(const std::string& content, std::uint16_t size) {
  bytes_ += '\3';
  bytes_ += static_cast<char>(size & 0xFF);
  bytes_ += static_cast<char>(size >> 8);
  bytes_ += static_cast<char>(content.size() & 0xFF);
  bytes_ += static_cast<char>(content.size() >> 8 & 0xFF);
  bytes_ += content;
  return *this;
}

ScriptWriter& ScriptWriter::Step(Trigger trigger, std::uint8_t argument, std::uint8_t delay,
                                 Action action, const std::string& arguments) {
  bytes_ += static_cast<char>(trigger);
  if (trigger != Trigger::kAtOnce) bytes_ += static_cast<char>(argument);
  bytes_ += static_cast<char>(delay);
  bytes_ += static_cast<char>(action);
  bytes_ += arguments;
  return *this;
}

std::uint8_t ScriptWriter::DelayMs(Millis ms) {
  return static_cast<std::uint8_t>(ms < 2000 ? ms / 10 : std::min<Millis>(199 + ms / 1000, 255));
}

}  // namespace fwdl::fuzz
