#include "commands.h"

#include <cctype>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

// A burst waits in memory until it has gone out: far more than any flood
// needs (the program's receive buffer holds 60000 bytes), far less than
// memory holds.
constexpr long long kLargestBurst = 1 << 24;

}  // namespace

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'x') {
      const std::string digits = text.substr(i + 1, 2);
      if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
          !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
        throw std::invalid_argument("\\x needs two hex digits: \\x" + digits);
      }
      out += static_cast<char>(std::stoi(digits, nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool RunCommand(Instrument& instrument, const std::string& command, Millis now) {
  std::istringstream words(command);
  std::string verb;
  words >> verb;
  try {
    if (verb == "burst") {
      long long count = -1;
      if (!(words >> count) || count < 0 || count > kLargestBurst) {
        throw std::invalid_argument("burst needs a count from 0 to " +
                                    std::to_string(kLargestBurst));
      }
      instrument.Burst(static_cast<std::size_t>(count), now);
    } else if (verb == "say") {
      std::string rest;
      std::getline(words >> std::ws, rest);
      instrument.Say(Unescape(rest), now);
    } else if (verb == "quit") {
      return false;
    } else if (!verb.empty()) {
      throw std::invalid_argument("unknown command " + verb);
    }
  } catch (const std::invalid_argument& error) {
    std::cerr << "instrument-sim: " << error.what()
              << " (commands: burst N, say TEXT, pull, quit)" << std::endl;
  }
  return true;
}

}  // namespace sim
