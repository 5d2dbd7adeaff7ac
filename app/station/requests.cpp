#include "app/station/requests.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "app/run/record.h"

namespace fwdl::station {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// Compares every character, so that the time taken tells nothing of how
// much of a guess was right.
bool SameToken(std::string_view a, std::string_view b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return differ == 0 && !a.empty();
}

// "/api/slots/3/start" -> 3, "start"; nothing for any other path.
std::optional<std::pair<int, std::string>> SlotPath(std::string_view path) {
  constexpr std::string_view kPrefix = "/api/slots/";
  if (!path.starts_with(kPrefix)) return std::nullopt;
  path.remove_prefix(kPrefix.size());
  const std::size_t slash = path.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash > 4) return std::nullopt;
  int slot = 0;
  for (const char c : path.substr(0, slash)) {
    if (c < '0' || c > '9') return std::nullopt;
    slot = slot * 10 + (c - '0');
  }
  return std::pair{slot, std::string(path.substr(slash + 1))};
}

}  // namespace

HttpReply Refuse(int status, const std::string& why) {
  return {status, "application/json", nlohmann::json{{"error", why}}.dump() + "\n"};
}

std::variant<Routed, Refusal> Screen(const HttpRequest& request, const Access& access,
                                     int slots) {
  const std::string host = Lower(request.host);
  if (std::find(access.hosts.begin(), access.hosts.end(), host) == access.hosts.end()) {
    return Refusal{403, "Host \"" + request.host + "\" is not the address this station serves"};
  }
  const std::string_view target = request.target;
  const std::string_view path = target.substr(0, target.find('?'));
  const bool get = request.method == "GET" || request.method == "HEAD";
  const bool supervisor = SameToken(request.token, access.supervisor_token);
  const bool operator_ = supervisor || SameToken(request.token, access.token);
  if (path == "/api/role") {
    if (!get) return Refusal{405, "/api/role takes GET"};
    Routed routed;
    routed.route = Route::kRole;
    routed.role = supervisor ? "supervisor" : operator_ ? "operator" : "viewer";
    return routed;
  }
  if (path == "/api/release") {
    if (request.method != "POST") return Refusal{405, "/api/release takes POST"};
    if (!operator_) return Refusal{403, "no valid X-Station-Token: this view is read-only"};
    if (!supervisor) return Refusal{403, "only the supervisor picks the release"};
    if (Lower(request.content_type.substr(0, request.content_type.find(';'))) !=
        "application/json") {
      return Refusal{415, "the body must be application/json"};
    }
    const auto body = nlohmann::json::parse(request.body, nullptr, /*allow_exceptions=*/false);
    if (!body.is_object() || !body.contains("name") || !body["name"].is_string()) {
      return Refusal{400, "\"name\" must be a text"};
    }
    Routed routed;
    routed.route = Route::kRelease;
    routed.release = body["name"];
    return routed;
  }
  if (path == "/" || path == "/events" || path == "/api/state") {
    if (!get) return Refusal{405, std::string(path) + " takes GET"};
    Routed routed;
    routed.route = path == "/" ? Route::kPage : path == "/events" ? Route::kEvents : Route::kState;
    return routed;
  }
  const auto slot_path = SlotPath(path);
  if (!slot_path || (slot_path->second != "start" && slot_path->second != "answer")) {
    return Refusal{404, "no such thing here: " + std::string(path)};
  }
  if (request.method != "POST") return Refusal{405, std::string(path) + " takes POST"};
  if (!operator_) {
    return Refusal{403, "no valid X-Station-Token: this view is read-only"};
  }
  if (Lower(request.content_type.substr(0, request.content_type.find(';'))) !=
      "application/json") {
    return Refusal{415, "the body must be application/json"};
  }
  if (slot_path->first >= slots) {
    return Refusal{404, "no slot " + std::to_string(slot_path->first)};
  }
  const auto body = nlohmann::json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object()) return Refusal{400, "the body is no JSON object"};
  Routed routed;
  routed.route = slot_path->second == "start" ? Route::kStart : Route::kAnswer;
  routed.slot = slot_path->first;
  if (routed.route == Route::kStart) {
    if (!body.contains("serial") || !body["serial"].is_string()) {
      return Refusal{400, "\"serial\" must be a text"};
    }
    routed.serial = body["serial"];
    if (const auto problem = console::SerialLabelProblem(routed.serial)) {
      return Refusal{400, "serial: " + *problem};
    }
  } else {
    const std::string answer = body.contains("answer") && body["answer"].is_string()
                                   ? body["answer"].get<std::string>()
                                   : "";
    if (answer != "ok" && answer != "cancel") {
      return Refusal{400, "\"answer\" must be \"ok\" or \"cancel\""};
    }
    routed.ok = answer == "ok";
  }
  return routed;
}

std::variant<std::size_t, Refusal> PickRelease(const std::string& name,
                                               const std::vector<Offered>& offered,
                                               bool slot_running) {
  if (slot_running) return Refusal{409, "a slot is running: the release changes between runs"};
  const auto found = std::find_if(offered.begin(), offered.end(),
                                  [&](const Offered& o) { return o.name == name; });
  if (found == offered.end()) return Refusal{404, "no release " + name};
  if (found->refused) return Refusal{400, name + " is refused: " + *found->refused};
  return static_cast<std::size_t>(found - offered.begin());
}

std::vector<std::string> HostsOf(const std::string& name, const std::string& address,
                                 unsigned short port, bool loopback) {
  const std::string suffix = ":" + std::to_string(port);
  const bool v6 = address.find(':') != std::string::npos;
  std::vector<std::string> hosts{Lower(v6 ? "[" + address + "]" + suffix : address + suffix)};
  if (loopback) hosts.push_back("localhost" + suffix);
  if (!name.empty() && Lower(name) != Lower(address) && Lower(name) != "localhost") {
    hosts.push_back(Lower(name) + suffix);
  }
  return hosts;
}

bool TokenWillDo(std::string_view token) {
  return token.size() >= 16 && token.size() <= 128 &&
         std::all_of(token.begin(), token.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
         });
}

std::string NewToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    token += part;
  }
  return token;
}

}  // namespace fwdl::station
