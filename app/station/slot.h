// One slot of the station: a port, and what the fwdl run on it has told so
// far. Pure state, fed with fwdl's JSON events (json_events.h) line by
// line; the station owns the process. Every event the page gets carries
// the slot's number:
//
//   {"slot":0,"event":"run","run":3,"serial":"SN-0042"}      a run begins
//   {"slot":0,"event":"status","text":"Searching..."}           fwdl's own events
//   {"slot":0,"event":"exit","exit_code":0,"outcome":"success","words":"success",
//    "verdict":"good","instrument_text":"Download comleted.\r\n...","serial":"SN-0042"}
//
// "exit" comes once the process has ended, also when it ended without its
// "end" event (a crash): "outcome" is then null and the verdict "failed";
// also when no process could be started, with "exit_code" null.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace fwdl::station {

using Json = nlohmann::ordered_json;

// How a unit came off the station: flashed, failed, or stopped by the
// technician (Cancel, Ctrl-C, the search aborted).
enum class Verdict { kGood, kFailed, kStopped };
const char* VerdictName(Verdict verdict);
// Of fwdl's outcome name ("success", "port_lost", ...); "" is a run that
// ended without one.
Verdict VerdictOf(const std::string& outcome);
// A few words for the outcome, as fwdl's closing line says them.
std::string OutcomeWords(const std::string& outcome);

class Slot {
 public:
  Slot(int index, std::string port, std::string device, std::string adapter);

  int index() const { return index_; }
  const std::string& port() const { return port_; }
  bool busy() const { return busy_; }
  // A question waits for the technician's answer.
  bool asking() const { return question_.has_value(); }

  // A run begins with the unit labelled `serial`; the last run's events
  // are forgotten.
  Json Begin(const std::string& serial);
  // A line of fwdl's standard output, as the page gets it; nothing for a
  // line that is no event.
  std::optional<Json> Take(const std::string& line);
  // Hands the answer to the question waiting to `write`, as a line of
  // fwdl's input ({"answer":"ok"} or "cancel"); the question is answered,
  // and a second answer would go to the next one, only once `write` took
  // it. False when it did not.
  bool Answer(bool ok, const std::function<bool(const std::string&)>& write);
  // The process has ended with `exit_code`.
  Json Finish(int exit_code);
  // No process could be started for the run (`why`): no unit was flashed.
  Json NotStarted(const std::string& why);

  // The events of the current (or last) run, for a page that connects now.
  const std::vector<Json>& events() const { return events_; }
  // The slot at a glance, for /api/state.
  Json Summary() const;

 private:
  Json Tagged(Json event) const;
  void Keep(const Json& event);
  Json Ended(Json exit);

  const int index_;
  const std::string port_, device_, adapter_;
  bool busy_ = false;
  int runs_ = 0;
  std::string serial_, status_;
  std::string told_;  // the text of the last box that told rather than asked
  std::optional<Json> question_, progress_, end_, exit_;
  std::vector<Json> events_;
};

}  // namespace fwdl::station
