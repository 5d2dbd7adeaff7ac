// What the station's HTTP interface takes, screened before anything is
// done: pure functions of the request, tested without a network.
//
//   GET  /                       the page
//   GET  /events                 the events of every slot (Server-Sent Events)
//   GET  /api/state              the station at a glance, JSON
//   POST /api/slots/N/start      {"serial":"SN-0042"}: a run on slot N
//   POST /api/slots/N/answer     {"answer":"ok"} or {"answer":"cancel"}
//   GET  /api/role               what the X-Station-Token lets do:
//                                {"role":"supervisor"|"operator"|"viewer"}
//   POST /api/release            {"name":"fw-1.2.bin"}: the supervisor picks
//                                the active release (--releases)
//
// Every request must name, in its Host header, the address the station
// serves: a page of another site that a rebound name leads here is
// refused. A request that changes anything (a POST) carries the station's
// token in the X-Station-Token header and a JSON body; the page has the
// token from the station, a page of another site has not. What the slots
// are doing (a busy slot, no question waiting) the station decides. The
// operator's token starts and answers; only the supervisor's token, which
// does that too, picks the release.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/station/firmware.h"

namespace fwdl::station {

struct HttpRequest {
  std::string method, target, host, token, content_type, body;
};

struct HttpReply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool stream = false;  // the body starts a stream of events that stays open
};

// The largest body the station reads; a longer one is refused with 413.
inline constexpr std::size_t kBodyLimit = 4096;

struct Access {
  std::vector<std::string> hosts;  // "127.0.0.1:8470", "localhost:8470"
  std::string token;
  std::string supervisor_token;  // "" when there is no supervisor
};

enum class Route { kPage, kEvents, kState, kRole, kStart, kAnswer, kRelease };

struct Routed {
  Route route = Route::kPage;
  int slot = -1;
  std::string serial;  // kStart
  bool ok = false;     // kAnswer: OK rather than Cancel
  std::string release;  // kRelease: the file's name
  std::string role;     // kRole: "supervisor", "operator" or "viewer"
};

struct Refusal {
  int status;
  std::string why;
};

std::variant<Routed, Refusal> Screen(const HttpRequest& request, const Access& access,
                                     int slots);

// Which of `offered` the supervisor's change of release makes active, or
// why not: 409 while a slot runs, 404 for no such file, 400 for a refused one.
std::variant<std::size_t, Refusal> PickRelease(const std::string& name,
                                               const std::vector<Offered>& offered,
                                               bool slot_running);

// The reply for a refusal: {"error":"..."}.
HttpReply Refuse(int status, const std::string& why);

// The Host names a listening address answers to: "127.0.0.1:8470" and,
// for the loopback, "localhost:8470"; a name given to --listen as well.
std::vector<std::string> HostsOf(const std::string& name, const std::string& address,
                                 unsigned short port, bool loopback);

// Whether --token's text will do: 16 to 128 letters, digits, "-", "_", ".", "~".
bool TokenWillDo(std::string_view token);
// A fresh token of 32 hex digits from the system's random source.
std::string NewToken();

}  // namespace fwdl::station
