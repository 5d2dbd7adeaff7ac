// instrument-sim's commands on standard input: the input's lines, one
// command each, as the simulator's main loop hands them on, until "quit".
// Checked on every line:
// - only "quit" ends the simulator;
// - a malformed command is reported in one line and sends nothing;
// - "burst N" sends N letters (N up to 16 MiB), "say TEXT" exactly TEXT with its escapes
//   undone (worked out here again), an empty line nothing.
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "commands.h"
#include "common.h"
#include "instrument.h"

namespace fwdl::fuzz {
namespace {

bool Space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// \r, \n and \xHH as bytes, any other escaped byte as itself, a backslash at
// the end as it is; nothing for a \x without two hex digits.
std::optional<std::string> Undone(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i++];
      continue;
    }
    const char escaped = text[i + 1];
    i += 2;
    if (escaped == 'r') {
      out += '\r';
    } else if (escaped == 'n') {
      out += '\n';
    } else if (escaped != 'x') {
      out += escaped;
    } else if (i + 2 <= text.size() && std::isxdigit(static_cast<unsigned char>(text[i])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      unsigned value = 0;
      std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
      out += static_cast<char>(value);
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// The count of "burst N" as a stream reads it: white space, an optional
// sign, digits; nothing when there are none, or for a count below 0 or
// past the largest long long.
std::optional<long long> Count(const std::string& rest) {
  std::size_t at = 0;
  while (at < rest.size() && Space(rest[at])) ++at;
  bool negative = false;
  if (at < rest.size() && (rest[at] == '+' || rest[at] == '-')) negative = rest[at++] == '-';
  unsigned long long magnitude = 0;
  const auto parsed = std::from_chars(rest.data() + at, rest.data() + rest.size(), magnitude);
  if (parsed.ec != std::errc()) return std::nullopt;  // also for a second sign
  if (magnitude > static_cast<unsigned long long>(LLONG_MAX) || (negative && magnitude != 0)) {
    return std::nullopt;
  }
  return static_cast<long long>(magnitude);
}

// Runs one command and checks what it did; false for "quit".
bool CheckCommand(sim::Instrument& instrument, const std::string& command, sim::Millis now) {
  std::size_t at = 0;
  while (at < command.size() && Space(command[at])) ++at;
  std::size_t verb_end = at;
  while (verb_end < command.size() && !Space(command[verb_end])) ++verb_end;
  const std::string verb = command.substr(at, verb_end - at);
  const std::string rest = command.substr(verb_end);

  std::ostringstream report;
  auto* const standard_error = std::cerr.rdbuf(report.rdbuf());
  const bool go_on = sim::RunCommand(instrument, command, now);
  std::cerr.rdbuf(standard_error);
  const std::string said = instrument.TakeOutput(now);
  const std::string reported = report.str();
  const std::string shown = "\"" + Shown(command) + "\"";

  if (go_on != (verb != "quit")) Fail(shown + (go_on ? " goes on" : " ends the simulator"));
  bool well_formed = true;
  std::string expected;
  if (verb == "burst") {
    constexpr long long kLargestBurst = 1 << 24;  // commands.h
    const auto count = Count(rest);
    well_formed = count.has_value() && *count <= kLargestBurst;
    if (well_formed) {
      bool letters = said.size() == static_cast<unsigned long long>(*count);
      for (std::size_t i = 0; letters && i < said.size(); ++i) letters = said[i] == 'A' + i % 26;
      if (!letters) Fail(shown + " sent " + Shown(said));
      expected = said;
    }
  } else if (verb == "say") {
    std::size_t text = 0;
    while (text < rest.size() && Space(rest[text])) ++text;
    const auto undone = Undone(rest.substr(text));
    well_formed = undone.has_value();
    expected = undone.value_or("");
  } else {
    well_formed = verb.empty() || verb == "quit";
  }
  if (!well_formed) {
    if (reported.empty()) Fail(shown + " is malformed but not reported");
    if (reported.find('\n') != reported.size() - 1 || reported.rfind("instrument-sim: ", 0) != 0) {
      Fail("the report of " + shown + " is not one line: " + Shown(reported));
    }
    if (!said.empty()) Fail("the malformed " + shown + " sent " + Shown(said));
    return go_on;
  }
  if (!reported.empty()) Fail(shown + " is reported: " + Shown(reported));
  if (said != expected) Fail(shown + " sent " + Shown(said) + ", not " + Shown(expected));
  return go_on;
}

}  // namespace
}  // namespace fwdl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  sim::Instrument instrument;
  sim::Millis now = 0;
  for (std::size_t at = 0; at < input.size(); now += 10) {
    const std::size_t end = std::min(input.find('\n', at), input.size());
    const std::string command = input.substr(at, end - at);
    at = end + 1;
    if (!fwdl::fuzz::CheckCommand(instrument, command, now)) break;
  }
  return 0;
}
