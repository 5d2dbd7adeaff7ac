// The simulated instrument: a Vardelo instrument as the program meets it on
// the serial line, both its HEX loader and its running firmware that takes
// DVB images. It is driven by the bytes it receives and by the clock; the
// console program puts it on a pseudo-terminal or a serial device, tests
// drive it in-process with a fake clock.
//
// The exchanges it plays:
// - carriage return: answered with the prompt ">" (late or never, on
//   request);
// - loader wake-up "F": no answer until the charger is connected, then an
//   answer of `wake_bytes` bytes ending in the prompt; after that a carriage
//   return probe is answered as `probe` says; "L", "Y" and the file follow,
//   and once the line has been quiet for `quiet_ms` the loader answers with
//   its verdict lines;
// - "SX\r": the go-ahead "#", then the 10-byte header, then the image with
//   its escape encoding undone; after `flash_ms` the report
//   "Flashed successfully..." and `result_tail`.
// Bytes lost on the way in (a full receive buffer) spoil what is being
// received: an image with a gap is not flashed and gets no report, a HEX
// file with one fails its checksums.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Millis = std::int64_t;

enum class Probe { Prompt, Other, Silent };
enum class Verdict { Ok, Error, Short, None };

struct Options {
  // Carriage return outside the loader: the prompt, after this delay.
  bool answer_prompt = true;
  Millis prompt_delay_ms = 0;

  // HEX loader.
  Millis charger_ms = 1500;       // from the first "F" until the charger is on
  unsigned wake_bytes = 12;       // bytes of each wake-up answer (5 or fewer: no contact)
  bool wake_prompt = true;        // the wake-up answer ends in ">"
  Millis wake_prompt_delay_ms = 0;  // ... or the ">" comes this much later
  Probe probe = Probe::Prompt;    // answer to the carriage return probe
  Millis quiet_ms = 500;          // a quiet line ends the file
  Verdict verdict = Verdict::Ok;

  // DVB receiver.
  bool go_ahead = true;           // answer "SX\r" with "#"
  Millis flash_ms = 2000;         // flashing time after the last image byte
  bool report = true;             // report the result at all
  std::string result_tail = "\r\n>";
  std::int64_t xoff_at = -1;      // image bytes received before it holds the line
  Millis xoff_ms = 0;             // for this long
};

// What the loader answers, byte for byte.
std::string VerdictText(Verdict verdict);

class Instrument {
 public:
  explicit Instrument(Options options = {});

  // Bytes from the program, as they arrive.
  void Receive(const std::uint8_t* data, std::size_t size, Millis now);
  void Receive(const std::string& bytes, Millis now) {
    Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now);
  }
  // `count` bytes from the program were lost just ahead of the bytes that
  // Receive gets next.
  void Lost(std::size_t count, Millis now);
  // Bytes for the program that are due by `now`.
  std::string TakeOutput(Millis now);
  // When TakeOutput next has something, if ever.
  std::optional<Millis> NextDue() const;
  // Sends `count` bytes of filler at once (letters only: never a prompt or
  // a flow-control byte).
  void Burst(std::size_t count, Millis now);
  void Say(const std::string& text, Millis now) { Schedule(now, text); }

  // The file body that the loader collected after "Y", or the image that the
  // DVB receiver rebuilt; complete() tells when one has ended.
  const std::string& received() const { return received_; }
  bool complete() const { return complete_; }
  // True while the instrument holds the line with its own XOFF.
  bool Holding(Millis now) const { return hold_until_ && now < *hold_until_; }
  // Events for a human log, taken once.
  std::vector<std::string> TakeEvents();

 private:
  enum class State { Idle, LoaderFile, Header, Image };

  void Idle(std::uint8_t byte, Millis now);
  void Image(std::uint8_t byte, Millis now);
  void ImageByte(std::uint8_t byte, Millis now);
  void FinishImage(Millis now);
  void Schedule(Millis due, std::string bytes, std::string event = {});
  void Event(std::string text) { events_.push_back(std::move(text)); }

  Options options_;
  State state_ = State::Idle;
  std::string recent_;  // the last bytes seen while idle, for "SX\r"
  std::optional<Millis> first_wake_;
  bool loader_awake_ = false;
  bool loader_listening_ = false;  // "L" seen, waiting for "Y"
  std::optional<Millis> verdict_due_;
  std::string header_;
  std::uint32_t image_length_ = 0;
  std::string escape_;  // an escape sequence in progress
  std::string received_;
  bool complete_ = false;
  bool damaged_ = false;  // bytes of what is being received were lost
  struct Pending {
    Millis due;
    std::string bytes;
    std::string event;  // told when the bytes go out, if not empty
  };
  std::vector<Pending> pending_;
  std::vector<std::string> events_;
  std::optional<Millis> hold_until_;
};

}  // namespace sim
