#include "download_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.h"
#include "script.h"
#include "support/fake_ports.h"
#include "support/scripted_window.h"

namespace fwdl::fuzz {
namespace {

using testing::FakeClock;
using testing::FakeDevice;
using testing::FakePorts;
using testing::ScriptedWindow;

// The procedures' own waits, each from the event that starts it to the next
// such event or the end, the user's time and the line's holds left out.
struct Wait {
  const char* from;
  Millis ms;   // -1: the user's patience with the search
  int delays;  // each may end a millisecond late: the clock counts whole ones
};
// The HEX search ends at the wake-up tick after the answer.
constexpr Millis kPingMs = 50;
constexpr Wait kHexWaits[] = {
    {"Button2 shown", -1, 0},
    {"Button2 hidden", 20 * 100, 20},              // the prompt
    {"dialog OpenDialog1", 500 + 100 + 500, 3},    // around the probe, between L and Y
    {"Label1=0% done", 0, 0},                      // the transfer
    {"Label1=100% done", 2000, 1},                 // before the verdict
};
constexpr Wait kDvbWaits[] = {
    {"Label2=Searching...", 20 * 100, 20},         // the prompt
    {"dialog OpenDialog2", 20 * 1000, 20},         // the go-ahead
    {"Label1=0% done", 200, 1},                    // the pause, the transfer
    {"Label1=FLASHING", 60 * 1000, 60},            // the result
};
// No run shows more boxes than this: it only bounds a run that went astray.
constexpr std::size_t kMostBoxes = 8;

constexpr char kFillBox[] = "box[] ERROR, ComBufPointer is out of bounds...";
constexpr char kGoneBox[] = "The device of comport 'COM1' has gone.";
const std::vector<std::string> kRestore = {"Button1 shown", "Button3 shown", "Exit1 enabled",
                                           "Port1 enabled"};

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}
bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What follows "SX\r" for an image: the 10-byte header, then the image with
// XON, XOFF and the escape byte each sent as three bytes.
std::string DvbLine(const std::string& image) {
  std::string line = "\x23\x04\x78\x56\x34\x12";
  for (int i = 0; i < 4; ++i) line += static_cast<char>(image.size() >> (8 * i) & 0xFF);
  for (const char c : image) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0x11 || b == 0x13 || b == 0x1B) {
      line += {'\x1B', static_cast<char>(b & 0xF0), static_cast<char>(b & 0x0F)};
    } else {
      line += c;
    }
  }
  return line;
}

class Run {
 public:
  Run(Procedure procedure, Script script) : procedure_(procedure), script_(std::move(script)) {}
  void Play();

 private:
  FakeDevice& dev() { return ports_.device("COM1"); }
  Core& core() { return window_.core; }
  // The step at `next_` waits for its trigger from now on.
  void Arm();
  void Written(char byte);
  void Fire();
  void Act(const Step& step);
  void Event(const std::string& event);
  // A modal box is open: the main window takes no clicks.
  bool BoxOpen() const;
  // "Abort Search..." while it is shown, once no box is open.
  void AbortWhenPossible();
  void CheckBuffer();
  void CheckEnd(Outcome outcome);
  void CheckHexLine(Outcome outcome);
  void CheckDvbLine(Outcome outcome);
  const Wait* WaitsBegin() const;
  const Wait* WaitsEnd() const;
  Millis Own(const Wait& wait) const;
  // The user's and the line's time: the boxes open, the holds.
  Millis Slack(std::size_t boxes) const;
  Millis Bound(std::size_t boxes) const;
  [[noreturn]] void Violation(const std::string& what);

  const Procedure procedure_;
  const Script script_;
  FakeClock clock_;
  FakePorts ports_{clock_};
  ScriptedWindow window_{clock_, ports_};
  std::size_t next_ = 0;
  bool armed_ = false;
  std::size_t written_at_arm_ = 0;
  bool exit_chosen_ = false;
  bool fill_box_ = false;
  int bound_boxes_ = 0;
  Millis search_start_ = -1, search_end_ = -1;
  Millis last_ping_ = -1;
  Millis l_at_ = -1, sending_at_ = -1, header_at_ = -1;
  // When each wait began, and how long it may take; the first is the start.
  std::vector<std::pair<Millis, Millis>> waits_ = {{0, 0}};
  Millis busy_until_ = -1;
};

void Run::Play() {
  if (script_.port_open) core().SelectPort("COM1");
  window_.events.clear();
  window_.box_answers = {script_.cancel_instructions ? BoxAnswer::Cancel : BoxAnswer::Ok};
  window_.box_open_ms = script_.box_open_ms;
  auto& dialog = window_.dialog_answers;
  switch (script_.file_answer) {
    case FileAnswer::kCancel: dialog = {std::nullopt}; break;
    case FileAnswer::kMissing: dialog = {(TempFolder() / "missing").string()}; break;
    case FileAnswer::kFolder: dialog = {TempFolder().string()}; break;
    case FileAnswer::kFile: dialog = {WriteTempFile("firmware", script_.file)}; break;
  }
  window_.time_limit = Bound(kMostBoxes);
  dev().on_byte = [this](char byte) { Written(byte); };
  window_.on_event = [this](const std::string& event) { Event(event); };
  window_.on_tick = [this](Timer) {
    CheckBuffer();
    if (clock_.Now() < busy_until_) dev().xoff = true;  // the instrument's XOFF again
  };
  Arm();
  Outcome outcome{};
  try {
    outcome = procedure_ == Procedure::kHex ? core().Button1Click() : core().Button3Click();
  } catch (const std::exception& error) {
    Violation(std::string("the run did not end: ") + error.what());
  }
  CheckBuffer();
  CheckEnd(outcome);
  // FWDL_FUZZ_TRACE=1 with an input file shows how that run went.
  if (std::getenv("FWDL_FUZZ_TRACE") != nullptr) {
    std::fprintf(stderr, "outcome %s after %lld ms, written %s\n", OutcomeName(outcome),
                 static_cast<long long>(clock_.Now()), Shown(dev().written).c_str());
  }
}

void Run::Arm() {
  if (next_ >= script_.steps.size()) return;
  armed_ = true;
  written_at_arm_ = dev().written.size();
  if (script_.steps[next_].trigger == Trigger::kAtOnce) Fire();
}

void Run::Written(char byte) {
  const std::string& written = dev().written;
  const Millis now = clock_.Now();
  if (procedure_ == Procedure::kHex && search_start_ >= 0 && search_end_ < 0 && byte == 'F') {
    // One ping a tick: a ping held by the line is not joined by another.
    if (now == last_ping_) Violation("two pings at the same instant");
    last_ping_ = now;
  }
  // The waits that give the instrument time: the loader 500 ms between "L"
  // and "Y", the receiver 200 ms between its go-ahead and the header.
  if (procedure_ == Procedure::kHex && EndsWith(written, "\rL")) l_at_ = now;
  if (procedure_ == Procedure::kHex && EndsWith(written, "\rLY") && now - l_at_ < 500) {
    Violation("Y " + std::to_string(now - l_at_) + " ms after L");
  }
  if (procedure_ == Procedure::kDvb && header_at_ < 0 && EndsWith(written, "SX\r\x23")) {
    header_at_ = now;
    if (now - sending_at_ < 200) {
      Violation("the header " + std::to_string(now - sending_at_) + " ms after the go-ahead");
    }
  }
  if (!armed_) return;
  const Step& step = script_.steps[next_];
  const bool due = step.trigger == Trigger::kByte
                       ? static_cast<unsigned char>(byte) == step.count
                       : dev().written.size() - written_at_arm_ >= step.count;
  if (due) Fire();
}

void Run::Fire() {
  armed_ = false;
  const Step& step = script_.steps[next_++];
  window_.At(clock_.Now() + step.delay, [this, &step] {
    Act(step);
    Arm();
  });
}

void Run::Act(const Step& step) {
  switch (step.action) {
    case Action::kBytes:
    case Action::kPhrase:
    case Action::kFlood: ports_.Arrive("COM1", step.bytes); break;
    case Action::kHold:
      dev().xoff = true;
      window_.At(clock_.Now() + step.value, [this] { dev().xoff = false; });
      break;
    case Action::kGone: dev().gone = true; break;
    case Action::kExit:
      // Only where the menu lets the user choose it.
      if (window_.exit1_enabled && !BoxOpen()) {
        exit_chosen_ = true;
        core().Exit1Click();
      }
      break;
    case Action::kAbort:
      if (window_.visible[static_cast<int>(Button::Button2)] && !BoxOpen()) core().Button2Click();
      break;
    case Action::kBadCount:
      dev().reported_waiting = step.value == 0 ? std::nullopt : std::optional(step.value);
      break;
    case Action::kReadOverrun: dev().read_overrun = step.value; break;
    case Action::kBusy:
      dev().xoff = true;
      busy_until_ = std::max(busy_until_, clock_.Now() + step.value);
      window_.At(busy_until_, [this] {
        if (clock_.Now() >= busy_until_) dev().xoff = false;
      });
      break;
  }
}

bool Run::BoxOpen() const {
  // A box handles events until it has been open for box_open_ms; the last
  // one shown closes last.
  return !window_.boxes.empty() &&
         clock_.Now() < window_.boxes.back().at + script_.box_open_ms;
}

void Run::AbortWhenPossible() {
  if (!window_.visible[static_cast<int>(Button::Button2)]) return;
  if (!BoxOpen()) return core().Button2Click();
  window_.At(window_.boxes.back().at + script_.box_open_ms, [this] { AbortWhenPossible(); });
}

void Run::Event(const std::string& event) {
  if (event == "Button2 shown") {
    search_start_ = clock_.Now();
    // The user's patience: "Abort Search..." once it has run this long.
    window_.At(search_start_ + script_.patience_ms, [this] { AbortWhenPossible(); });
  }
  if (event == "Button2 hidden") search_end_ = clock_.Now();
  if (event == "Label1=0% done") sending_at_ = clock_.Now();
  for (const Wait* wait = WaitsBegin(); wait != WaitsEnd(); ++wait) {
    if (event == wait->from) waits_.emplace_back(clock_.Now(), Own(*wait));
  }
  if (event == kFillBox) fill_box_ = true;
  if (StartsWith(event, "box[] ERROR, ") && EndsWith(event, " is out of bounds...")) {
    ++bound_boxes_;
  }
  CheckBuffer();
}

void Run::CheckBuffer() {
  const SerialLink& link = core().link();
  if (link.received().count() > kComBufSize) {
    Violation("ComBufPointer " + std::to_string(link.received().count()) + " is past ComBuf");
  }
  if (link.received().count() > kFillLimit && !fill_box_) {
    Violation("ComBufPointer " + std::to_string(link.received().count()) +
              " is past the fill limit without the bound message");
  }
  if (window_.TimerEnabled(Timer::Timer1) && !link.PortOpen()) {
    Violation("the receive poll runs with no port open");
  }
}

const Wait* Run::WaitsBegin() const {
  return procedure_ == Procedure::kHex ? std::begin(kHexWaits) : std::begin(kDvbWaits);
}

const Wait* Run::WaitsEnd() const {
  return procedure_ == Procedure::kHex ? std::end(kHexWaits) : std::end(kDvbWaits);
}

Millis Run::Own(const Wait& wait) const {
  return wait.ms >= 0 ? wait.ms + wait.delays : script_.patience_ms + kPingMs;
}

Millis Run::Slack(std::size_t boxes) const {
  // A held write notices the end of a hold at its next try.
  const auto holds = std::count_if(
      script_.steps.begin(), script_.steps.end(),
      [](const Step& s) { return s.action == Action::kHold || s.action == Action::kBusy; });
  return script_.HoldsAtMost() + kWriteWaitMs * static_cast<Millis>(holds) +
         static_cast<Millis>(boxes) * script_.box_open_ms;
}

Millis Run::Bound(std::size_t boxes) const {
  Millis own = 0;
  for (const Wait* wait = WaitsBegin(); wait != WaitsEnd(); ++wait) own += Own(*wait);
  return own + Slack(boxes);
}

void Run::CheckEnd(Outcome outcome) {
  if (core().phase() != Phase::kIdle) Violation("the phase is not idle after the run");
  if (core().outcome() != outcome) Violation("the core keeps another outcome than returned");
  const Millis bound = Bound(window_.boxes.size());
  if (clock_.Now() > bound) {
    Violation("the run took " + std::to_string(clock_.Now()) + " ms, more than the " +
              std::to_string(bound) + " ms its waits allow");
  }
  for (std::size_t i = 0; i < waits_.size(); ++i) {
    const auto [start, own] = waits_[i];
    const Millis end = i + 1 < waits_.size() ? waits_[i + 1].first : clock_.Now();
    if (end - start > own + Slack(window_.boxes.size())) {
      Violation("a wait from " + std::to_string(start) + " ms took " + std::to_string(end - start) +
                " ms, more than its " + std::to_string(own) + " ms");
    }
  }
  if (window_.visible[static_cast<int>(Button::Button2)]) Violation("\"Abort Search...\" is left");
  if (window_.TimerEnabled(Timer::Timer2) || window_.TimerEnabled(Timer::Timer3)) {
    Violation("a timer of the procedure still runs");
  }

  const auto& events = window_.events;
  // A device that went during the run leaves the no-port state, also when
  // the run had its outcome before (an answer, or a box open when it went).
  if (outcome == Outcome::kPortLost || core().link().PortLost()) {
    // The program goes on, unless a bound message, Exit or the outcome's
    // own end closed it before.
    const bool no_port_state =
        !core().link().PortOpen() && window_.label2 == "Select Port..." && window_.label1.empty() &&
        !window_.visible[0] && !window_.visible[2] && window_.port1_enabled &&
        window_.exit1_enabled &&
        (!window_.closed || bound_boxes_ > 0 || exit_chosen_ || outcome != Outcome::kPortLost);
    if (!no_port_state) Violation("a lost device does not leave the no-port state");
    if (events.size() < 2 || events[events.size() - 2] != "Exit1 enabled" ||
        events.back() != "Port1 enabled") {
      Violation("a lost device's end does not enable Exit1 and then Port1 last");
    }
    if (window_.boxes.empty() || !StartsWith(window_.boxes.back().text, kGoneBox)) {
      Violation("a lost device is not the last box");
    }
  } else if (events.size() < kRestore.size() ||
             !std::equal(kRestore.begin(), kRestore.end(), events.end() - kRestore.size())) {
    Violation("the window is not restored at the end");
  }

  const bool closes = outcome == Outcome::kSuccess || outcome == Outcome::kExited ||
                      outcome == Outcome::kBoundError ||
                      (procedure_ == Procedure::kDvb && outcome == Outcome::kDownloadFailed);
  if (closes && !window_.closed) Violation("the program goes on after an end that closes it");
  if (window_.closed && !closes && !exit_chosen_ && bound_boxes_ == 0) {
    Violation("the program closed after an end that keeps it");
  }
  if (outcome == Outcome::kBoundError && bound_boxes_ == 0) {
    Violation("a bound error without its message");
  }
  if (bound_boxes_ > 1) Violation("more than one bound message");

  if (procedure_ == Procedure::kHex) {
    CheckHexLine(outcome);
  } else {
    CheckDvbLine(outcome);
  }
}

void Run::CheckHexLine(Outcome outcome) {
  const std::string& written = dev().written;
  const std::size_t pings = std::min(written.find_first_not_of('F'), written.size());
  const std::string rest = written.substr(pings);
  if (search_start_ < 0) {
    if (!written.empty()) Violation("bytes went out without a search");
    return;
  }
  const Millis searched = (search_end_ >= 0 ? search_end_ : clock_.Now()) - search_start_;
  if (static_cast<Millis>(pings) > searched / kPingMs) {
    Violation(std::to_string(pings) + " pings in a search of " + std::to_string(searched) + " ms");
  }
  const bool file = script_.file_answer == FileAnswer::kFile;
  const std::string text = file ? LoaderText(script_.file) : std::string();
  const std::string sent = "\rLY" + text;
  // The ways the line may go on after the pings, each cut short anywhere.
  const bool quit = StartsWith("Q", rest);
  const bool probe = file && StartsWith("\rQ", rest);
  const bool transfer = file && StartsWith(sent + "Q", rest);
  if (!quit && !probe && !transfer) Violation("the line carries more than the protocol allows");
  if (!rest.empty() && rest[0] == '\r' && !StartsWith(text, ":")) {
    Violation("the probe went out for a file that does not start with ':'");
  }
  switch (outcome) {
    case Outcome::kSuccess:
      // A device that goes, or a bound message that closes the port, while
      // the Q waits for the line takes the Q with it; the verdict stands.
      if (rest != sent + "Q" && !((dev().gone || bound_boxes_ > 0) && rest == sent)) {
        Violation("a success without the whole file and Q");
      }
      break;
    case Outcome::kErrorVerdict:
    case Outcome::kDownloadFailed:
      if (rest != sent) Violation("a verdict without exactly the whole file");
      break;
    case Outcome::kFileUnreadable:
      if (!rest.empty()) Violation("bytes after the search for an unreadable file");
      break;
    case Outcome::kSearchAborted:
    case Outcome::kNoContact:
    case Outcome::kCancelled:
    case Outcome::kFileNotHex:
      if (!quit) Violation("more than Q after the search");
      break;
    case Outcome::kLostContact:
      if (!probe) Violation("more than the probe and Q");
      break;
    default: break;
  }
  if (window_.Saw("Label1=100% done") && !StartsWith(rest, sent)) {
    Violation("\"100% done\" before the whole file went out");
  }
}

void Run::CheckDvbLine(Outcome outcome) {
  const std::string& written = dev().written;
  const std::size_t returns = std::min(written.find_first_not_of('\r'), written.size());
  const std::string rest = written.substr(returns);
  if (returns > 20) Violation(std::to_string(returns) + " carriage returns in the search");
  const bool file = script_.file_answer == FileAnswer::kFile;
  const std::string whole = "SX\r" + (file ? DvbLine(script_.file) : std::string());
  if (!StartsWith(whole, rest)) Violation("the line carries more than the header and image");
  switch (outcome) {
    case Outcome::kSuccess:
      if (rest != whole) Violation("a success without exactly the header and the image");
      break;
    case Outcome::kNoContact:
      if (!rest.empty() && rest != "SX\r") Violation("more than SX without the go-ahead");
      break;
    case Outcome::kCancelled:
    case Outcome::kFileUnreadable:
    case Outcome::kFileEmpty:
    case Outcome::kFileTooLarge:
    case Outcome::kNoPort:
      if (!rest.empty()) Violation("bytes beyond the search for a download that never began");
      break;
    default: break;
  }
  if (window_.Saw("Label1=FLASHING") && rest != whole) {
    Violation("flashing without exactly the header and the image");
  }
}

void Run::Violation(const std::string& what) {
  std::fprintf(stderr, "\n%s download: %s\n", procedure_ == Procedure::kHex ? "HEX" : "DVB",
               what.c_str());
  std::fprintf(stderr, "  outcome so far: %s, fake time %lld ms, bound %lld ms\n",
               core().outcome() ? OutcomeName(*core().outcome()) : "(running)",
               static_cast<long long>(clock_.Now()),
               static_cast<long long>(Bound(window_.boxes.size())));
  std::fprintf(stderr, "  port %s, box %lld ms, patience %lld ms, file %s (%zu bytes), %zu steps\n",
               script_.port_open ? "open" : "not open",
               static_cast<long long>(script_.box_open_ms),
               static_cast<long long>(script_.patience_ms),
               script_.file_answer == FileAnswer::kFile ? "given" : "not given",
               script_.file.size(), script_.steps.size());
  std::fprintf(stderr, "  written: %s\n", Shown(dev().written).c_str());
  std::fprintf(stderr, "  last events:\n");
  const auto& events = window_.events;
  for (std::size_t i = events.size() > 12 ? events.size() - 12 : 0; i < events.size(); ++i) {
    std::fprintf(stderr, "    %s\n", Shown(events[i], 100).c_str());
  }
  std::abort();
}

}  // namespace

void RunDownload(Procedure procedure, const std::uint8_t* data, std::size_t size) {
  Run(procedure, Decode(data, size)).Play();
}

}  // namespace fwdl::fuzz
