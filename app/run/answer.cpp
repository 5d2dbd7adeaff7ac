#include "app/run/answer.h"

#include <nlohmann/json.hpp>
#include <string>

namespace fwdl::console {

std::optional<BoxAnswer> ParseAnswer(std::string_view line) {
  std::string text;
  for (const char c : line) {
    if (c != ' ' && c != '\r' && c != '\t') text += c;
  }
  if (text.empty()) return BoxAnswer::Ok;
  if (text == "c" || text == "C") return BoxAnswer::Cancel;
  if (text.front() != '{') return std::nullopt;
  const auto json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object() || !json.contains("answer") || !json["answer"].is_string()) {
    return std::nullopt;
  }
  const std::string answer = json["answer"];
  if (answer == "ok") return BoxAnswer::Ok;
  if (answer == "cancel") return BoxAnswer::Cancel;
  return std::nullopt;
}

bool TakeInterruptLine(std::string& input) {
  for (std::size_t start = 0, end; (end = input.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const auto json = nlohmann::json::parse(input.begin() + static_cast<std::ptrdiff_t>(start),
                                            input.begin() + static_cast<std::ptrdiff_t>(end),
                                            nullptr, /*allow_exceptions=*/false);
    if (json.is_object() && json.size() == 1 && json.contains("interrupt") &&
        json["interrupt"] == true) {
      input.erase(start, end + 1 - start);
      return true;
    }
  }
  return false;
}

}  // namespace fwdl::console
