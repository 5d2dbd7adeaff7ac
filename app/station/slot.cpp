#include "app/station/slot.h"

#include "app/run/exit_codes.h"

namespace fwdl::station {
namespace {

// Enough for every event of a whole run (at most one progress event a per
// cent); a run that says more keeps its first events and its last state.
constexpr std::size_t kKeptEvents = 1000;

std::optional<Outcome> OutcomeNamed(const std::string& name) {
  for (int i = 0; i <= static_cast<int>(Outcome::kBoundError); ++i) {
    const auto outcome = static_cast<Outcome>(i);
    if (name == OutcomeName(outcome)) return outcome;
  }
  return std::nullopt;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kGood: return "good";
    case Verdict::kFailed: return "failed";
    case Verdict::kStopped: return "stopped";
  }
  return "";
}

Verdict VerdictOf(const std::string& outcome) {
  const std::optional<Outcome> known = OutcomeNamed(outcome);
  if (known == Outcome::kSuccess) return Verdict::kGood;
  if (known == Outcome::kCancelled || known == Outcome::kExited ||
      known == Outcome::kSearchAborted) {
    return Verdict::kStopped;
  }
  return Verdict::kFailed;
}

std::string OutcomeWords(const std::string& outcome) {
  const std::optional<Outcome> known = OutcomeNamed(outcome);
  return known ? console::Describe(*known) : "ended without a result";
}

Slot::Slot(int index, std::string port, std::string device, std::string adapter)
    : index_(index), port_(std::move(port)), device_(std::move(device)),
      adapter_(std::move(adapter)) {}

Json Slot::Tagged(Json event) const {
  Json tagged{{"slot", index_}};
  tagged.update(event);
  return tagged;
}

void Slot::Keep(const Json& event) {
  if (events_.size() < kKeptEvents) events_.push_back(event);
}

Json Slot::Begin(const std::string& serial) {
  busy_ = true;
  serial_ = serial;
  status_.clear();
  told_.clear();
  question_.reset();
  progress_.reset();
  end_.reset();
  exit_.reset();
  events_.clear();
  Json event = Tagged({{"event", "run"}, {"run", ++runs_}, {"serial", serial}});
  Keep(event);
  return event;
}

std::optional<Json> Slot::Take(const std::string& line) {
  Json event = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!event.is_object() || !event.contains("event") || !event["event"].is_string()) {
    return std::nullopt;
  }
  event = Tagged(std::move(event));
  const std::string kind = event["event"];
  if (kind == "question") {
    question_ = event;
  } else if (kind == "box" && event.value("question", false)) {
    question_.reset();
  } else if (kind == "box") {
    told_ = event.value("text", "");  // what the window's box would tell
  } else if (kind == "status") {
    status_ = event.value("text", "");
  } else if (kind == "progress") {
    progress_ = event;
  } else if (kind == "end") {
    end_ = event;
  }
  Keep(event);
  return event;
}

bool Slot::Answer(bool ok, const std::function<bool(const std::string&)>& write) {
  if (!write(Json{{"answer", ok ? "ok" : "cancel"}}.dump() + "\n")) return false;
  question_.reset();
  return true;
}

Json Slot::Ended(Json exit) {
  busy_ = false;
  question_.reset();
  exit_ = exit;
  Keep(exit);
  return exit;
}

Json Slot::Finish(int exit_code) {
  const bool ended = end_ && (*end_)["outcome"].is_string();
  const std::string outcome = ended ? (*end_)["outcome"].get<std::string>() : "";
  std::string words = OutcomeWords(outcome);
  if (!ended) words = "fwdl " + words + " (exit code " + std::to_string(exit_code) + ")";
  return Ended(Tagged({{"event", "exit"},
                       {"exit_code", exit_code},
                       {"outcome", ended ? Json(outcome) : Json(nullptr)},
                       {"words", words},
                       {"verdict", VerdictName(VerdictOf(outcome))},
                       {"told", told_},
                       {"instrument_text", ended ? (*end_).value("instrument_text", "") : ""},
                       {"serial", serial_}}));
}

Json Slot::NotStarted(const std::string& why) {
  return Ended(Tagged({{"event", "exit"},
                       {"exit_code", nullptr},
                       {"outcome", nullptr},
                       {"words", "fwdl could not be started: " + why},
                       {"verdict", VerdictName(Verdict::kFailed)},
                       {"told", ""},
                       {"instrument_text", ""},
                       {"serial", serial_}}));
}

Json Slot::Summary() const {
  auto or_null = [](const std::optional<Json>& part) { return part ? *part : Json(nullptr); };
  return {{"slot", index_},
          {"port", port_},
          {"device", device_},
          {"adapter", adapter_},
          {"busy", busy_},
          {"serial", serial_},
          {"status", status_},
          {"question", or_null(question_)},
          {"progress", or_null(progress_)},
          {"result", or_null(exit_)}};
}

}  // namespace fwdl::station
