// The station's pure pieces: what fwdl takes as an answer, the command line
// and the addresses it serves, a slot fed with fwdl's events, and today's
// tally. The HTTP interface and the page are tested by tests/station/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "app/run/answer.h"
#include "app/station/requests.h"
#include "app/station/slot.h"
#include "app/station/slot_places.h"
#include "app/station/station_options.h"
#include "app/station/tally.h"
#include "support/fake_system.h"

namespace fwdl::station {
namespace {

TEST(Station, AnswersFromAPersonAndFromAStationProgram) {
  struct Case {
    const char* line;
    std::optional<BoxAnswer> answer;
  } cases[] = {
      {"", BoxAnswer::Ok},
      {" \r", BoxAnswer::Ok},
      {"c", BoxAnswer::Cancel},
      {"C\r", BoxAnswer::Cancel},
      {R"({"answer":"ok"})", BoxAnswer::Ok},
      {R"( {"answer": "cancel"} )", BoxAnswer::Cancel},
      {R"({"answer":"OK"})", std::nullopt},
      {R"({"answer":true})", std::nullopt},
      {R"({"answer":"ok")", std::nullopt},
      {"x", std::nullopt},
      {"ok", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(console::ParseAnswer(c.line), c.answer) << c.line;

  // What Ctrl-C does, asked for on standard input: taken out from among the
  // answers, which stay in their order; a line not yet ended is no command.
  std::string input = "\n{\"interrupt\":true}\r\nc\n{\"interrupt\":true}";
  EXPECT_TRUE(console::TakeInterruptLine(input));
  EXPECT_EQ(input, "\nc\n{\"interrupt\":true}");
  EXPECT_FALSE(console::TakeInterruptLine(input));
  for (std::string other : {"{\"interrupt\":false}\n", "{\"interrupt\":true,\"x\":1}\n",
                            "interrupt\n"}) {
    EXPECT_FALSE(console::TakeInterruptLine(other)) << other;
  }
}

TEST(Station, CommandLineAndListeningAddress) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;  // "" for none
  } cases[] = {
      {{"--slot", "COM3", "--slot=/dev/ttyUSB0", "fw.bin"}, ""},
      {{"--slot", "usb:A50285BI", "--listen", "[::1]:0", "fw.hex"}, ""},
      {{"fw.bin"}, "no --slot"},
      {{"--slot", "COM3"}, "no FIRMWARE"},
      {{"--slot", "COM3", "--slot", "COM3", "fw.bin"}, "--slot COM3 is given twice"},
      {{"--slot", "COM3", "--listen", "8470", "fw.bin"}, "--listen takes"},
      {{"--slot", "COM3", "--listen", "::1:8470", "fw.bin"}, "--listen takes"},
      {{"--slot", "COM3", "--listen", "a:65536", "fw.bin"}, "--listen takes"},
      {{"--slot", "COM3", "--listen", "0.0.0.0:8470", "fw.bin"}, "--listen needs the address"},
      {{"--slot", "COM3", "--token", "short", "fw.bin"}, "--token takes"},
      {{"--slot", "COM3", "--token", "0123456789abcdef<", "fw.bin"}, "--token takes"},
      {{"--slot", "COM3", "a.bin", "b.bin"}, "one firmware file only"},
      {{"--slot", "COM3", "--yes", "fw.bin"}, "unknown option --yes"},
      {{"--slot", "COM3", "--trust", "k.pub", "--releases", "r"}, ""},
      {{"--slot", "COM3", "--releases", "r"}, "--releases needs --trust"},
      {{"--slot", "COM3", "--trust", "k.pub", "--releases", "r", "fw.bin"},
       "--releases or FIRMWARE"},
      {{"--slot", "COM3", "--supervisor-token", "0123456789abcdef", "fw.bin"},
       "--supervisor-token needs --releases"},
      {{"--slot", "COM3", "--trust", "k.pub", "--releases", "r", "--token", "0123456789abcdef",
        "--supervisor-token", "0123456789abcdef"}, "--supervisor-token must differ"},
  };
  for (const Case& c : cases) {
    StationOptions options;
    const auto problem = ParseStation(c.args, options);
    if (c.problem.empty()) {
      EXPECT_FALSE(problem) << *problem;
    } else {
      ASSERT_TRUE(problem) << c.args.front();
      EXPECT_EQ(problem->rfind(c.problem, 0), 0u) << *problem;
    }
  }
  StationOptions options;
  ASSERT_FALSE(ParseStation({"--slot", "COM3", "--slot", "COM4", "fw.bin"}, options));
  EXPECT_EQ(options.slots, (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(options.listen, "127.0.0.1:8470") << "the loopback unless told otherwise";
  EXPECT_EQ(SplitListen("[::1]:8470"), (std::pair<std::string, unsigned short>{"::1", 8470}));

  // The Host names a request may carry: the address served, and localhost
  // or the name given where they lead there; never another port.
  EXPECT_EQ(HostsOf("127.0.0.1", "127.0.0.1", 8470, true),
            (std::vector<std::string>{"127.0.0.1:8470", "localhost:8470"}));
  EXPECT_EQ(HostsOf("::1", "::1", 8470, true),
            (std::vector<std::string>{"[::1]:8470", "localhost:8470"}));
  EXPECT_EQ(HostsOf("Bench-3", "192.0.2.7", 80, false),
            (std::vector<std::string>{"192.0.2.7:80", "bench-3:80"}));
  EXPECT_TRUE(TokenWillDo(NewToken()));
  EXPECT_NE(NewToken(), NewToken());
}

// Who may change what: the operator starts and answers, the supervisor may
// also pick the release, and only among the good ones while no slot runs.
TEST(Station, OnlyTheSupervisorPicksAReleaseAndOnlyBetweenRuns) {
  const Access access{{"127.0.0.1:8470"}, "operator-0123456789", "supervisor-0123456789"};
  const std::string pick = R"({"name":"fw-2.bin"})";
  struct Case {
    std::string path, token, body;
    int status;  // 0: let through
  } cases[] = {
      {"/api/release", "supervisor-0123456789", pick, 0},
      {"/api/release", "operator-0123456789", pick, 403},
      {"/api/release", "", pick, 403},
      {"/api/release", "supervisor-0123456789", R"({"name":2})", 400},
      {"/api/slots/0/start", "supervisor-0123456789", R"({"serial":"SN-1"})", 0},
      {"/api/slots/0/start", "operator-0123456789", R"({"serial":"SN-1"})", 0},
  };
  for (const Case& c : cases) {
    const HttpRequest request{"POST", c.path, "127.0.0.1:8470", c.token, "application/json", c.body};
    const auto screened = Screen(request, access, 1);
    const auto* refusal = std::get_if<Refusal>(&screened);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << c.path << " " << c.token;
  }
  // With no supervisor, no token is the supervisor's, not even an empty one.
  const Access alone{{"127.0.0.1:8470"}, "operator-0123456789", ""};
  for (const std::string token : {"", "operator-0123456789"}) {
    const auto screened = Screen({"POST", "/api/release", "127.0.0.1:8470", token,
                                  "application/json", pick}, alone, 1);
    ASSERT_TRUE(std::holds_alternative<Refusal>(screened));
    EXPECT_EQ(std::get<Refusal>(screened).status, 403);
  }
  auto role = [&](const std::string& token) {
    const auto screened = Screen({"GET", "/api/role", "127.0.0.1:8470", token, "", ""}, access, 1);
    return std::get<Routed>(screened).role;
  };
  EXPECT_EQ(role("supervisor-0123456789"), "supervisor");
  EXPECT_EQ(role("operator-0123456789"), "operator");
  EXPECT_EQ(role("x"), "viewer");

  const std::vector<Offered> offered{{"fw-1.bin", {}, std::nullopt},
                                     {"fw-2.bin", {}, std::nullopt},
                                     {"fw-3.bin", {}, "the file changed since it was signed"}};
  struct Pick {
    std::string name;
    bool running;
    int status;  // 0: made active
  } picks[] = {{"fw-2.bin", false, 0}, {"fw-2.bin", true, 409}, {"fw-3.bin", false, 400},
               {"fw-9.bin", false, 404}};
  for (const Pick& p : picks) {
    const auto picked = PickRelease(p.name, offered, p.running);
    const auto* refusal = std::get_if<Refusal>(&picked);
    EXPECT_EQ(refusal ? refusal->status : 0, p.status) << p.name;
    if (!refusal) {
      EXPECT_EQ(std::get<std::size_t>(picked), 1u);
    }
  }
}

// A slot named by its adapter leads where fwdl --port leads: its tile shows
// the adapter, and a second name of the same device is refused.
TEST(Station, SlotsLeadWhereFwdlPortLeads) {
  testing::FakeSystem fake;
  fake.Adapter("ttyUSB0", "1-2", "ftdi_sio", "0403:6001", "A50285BI", "FT232R USB UART");
  fake.Adapter("ttyUSB1", "1-3", "ch341", "1a86:7523", "", "USB Serial");
  const std::vector<std::string> slots{"usb:a50285bi", "socket:1-3", "usb:0403:9999",
                                       "/dev/serial/by-id/usb-FT232R USB UART_A50285BI-if00"};
  const std::vector<SlotPlace> places = PlaceSlots(slots, fake.places());
  ASSERT_EQ(places.size(), 4u);
  EXPECT_EQ(places[0].device, "/dev/ttyUSB0");
  EXPECT_NE(places[0].adapter.find("ftdi_sio, USB 0403:6001, serial A50285BI"), std::string::npos)
      << places[0].adapter;
  EXPECT_EQ(places[1].device, "/dev/ttyUSB1");
  EXPECT_EQ(places[2].device, "") << "fits no port: its fwdl tells why";
  EXPECT_EQ(places[3].device, "/dev/ttyUSB0");
  EXPECT_EQ(SharedDevice(slots, places),
            "--slot usb:a50285bi and --slot " + slots[3] + " lead to the same device, /dev/ttyUSB0");
  EXPECT_FALSE(SharedDevice({slots[0], slots[1], slots[2]}, {places[0], places[1], places[2]}));
}

TEST(Station, ASlotFollowsItsRunFromFwdlsEvents) {
  Slot slot(2, "COM3", "/dev/ttyUSB0", "ftdi_sio");
  EXPECT_EQ(slot.Begin("SN-1")["event"], "run");
  EXPECT_TRUE(slot.busy());
  EXPECT_FALSE(slot.Take("Enter: OK, c Enter: Cancel > ")) << "no event";
  EXPECT_FALSE(slot.Take(R"(["event","status"])"));
  const auto question = slot.Take(R"({"event":"question","caption":"","text":"1. Turn on"})");
  ASSERT_TRUE(question);
  EXPECT_EQ((*question)["slot"], 2);
  EXPECT_TRUE(slot.asking());
  EXPECT_FALSE(slot.Answer(true, [](const std::string&) { return false; }));
  EXPECT_TRUE(slot.asking()) << "an answer fwdl did not take leaves the question waiting";
  std::string written;
  EXPECT_TRUE(slot.Answer(true, [&](const std::string& line) { return written = line, true; }));
  EXPECT_EQ(written, "{\"answer\":\"ok\"}\n");
  EXPECT_FALSE(slot.asking()) << "a second answer would go to the next question";
  slot.Take(R"({"event":"question","caption":"","text":"again"})");
  slot.Take(R"({"event":"box","caption":"","text":"again","question":true,"answer":"ok"})");
  EXPECT_FALSE(slot.asking());
  slot.Take(R"({"event":"box","caption":"Info","text":"Download comleted.","question":false})");
  slot.Take(R"({"event":"end","outcome":"success","exit_code":0,"instrument_text":"Done."})");
  const Json exit = slot.Finish(0);
  EXPECT_FALSE(slot.busy());
  EXPECT_EQ(exit["verdict"], "good");
  EXPECT_EQ(exit["instrument_text"], "Done.");
  EXPECT_EQ(exit["serial"], "SN-1");
  EXPECT_EQ(slot.events().size(), 7u) << "run, two questions, two boxes, end, exit";
  EXPECT_EQ(slot.Summary()["result"], exit);

  // A crash: no end event. The next run forgets the last one.
  slot.Begin("SN-2");
  EXPECT_EQ(slot.events().size(), 1u);
  slot.Take(R"({"event":"status","text":"Searching..."})");
  const Json crash = slot.Finish(139);
  EXPECT_EQ(crash["outcome"], nullptr);
  EXPECT_EQ(crash["verdict"], "failed");
  EXPECT_EQ(crash["words"], "fwdl ended without a result (exit code 139)");
}

TEST(Station, TodaysTallyCountsGoodFailedAndStopped) {
  struct Case {
    const char* outcome;
    Verdict verdict;
  } verdicts[] = {{"success", Verdict::kGood},          {"port_lost", Verdict::kFailed},
                  {"error_verdict", Verdict::kFailed},  {"cancelled", Verdict::kStopped},
                  {"exited", Verdict::kStopped},        {"search_aborted", Verdict::kStopped},
                  {"", Verdict::kFailed}};
  for (const Case& c : verdicts) EXPECT_EQ(VerdictOf(c.outcome), c.verdict) << c.outcome;

  // Local days, whatever zone the station is in.
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> saved = zone ? std::optional<std::string>(zone) : std::nullopt;
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(LocalDay("2026-12-09T23:30:00.000Z"), "2026-12-09");
  setenv("TZ", "EAST-2", 1);  // two hours ahead of UTC
  tzset();
  EXPECT_EQ(LocalDay("2026-12-09T23:30:00.000Z"), "2026-12-10");
  EXPECT_EQ(LocalDay("yesterday"), "");

  std::istringstream records(
      R"({"start":"2026-12-09T21:00:00.000Z","port":"COM1","serial":"A","outcome":"success"})" "\n"
      R"({"start":"2026-12-09T22:30:00.000Z","port":"COM2","serial":"B","outcome":"port_lost","instrument_text":"gone"})" "\n"
      "not a record\n"
      R"({"start":"2026-12-09T23:00:00.000Z","port":"COM3","serial":"C","outcome":"cancelled"})" "\n"
      R"({"start":"2026-12-10T00:00:00.000Z","port":"COM1","serial":"D","outcome":"success"})" "\n");
  Tally tally;
  tally.Load(records, "2026-12-10");  // EAST-2: the first line is of the 9th
  Json today = tally.ToJson();
  EXPECT_EQ(today["good"], 1);
  EXPECT_EQ(today["failed"], 1);
  EXPECT_EQ(today["stopped"], 1);
  ASSERT_EQ(today["last"].size(), 3u);
  EXPECT_EQ(today["last"][0]["serial"], "D") << "newest first";
  EXPECT_EQ(today["last"][2]["words"], "the port was lost");
  auto unit = [](const char* start, const char* outcome) {
    return Unit{start, "COM1", "E", outcome, "", ""};
  };
  for (int i = 0; i < 20; ++i) tally.Add(unit("2026-12-10T08:00:00.000Z", ""));
  EXPECT_EQ(tally.ToJson()["last"].size(), Tally::kLast);
  EXPECT_EQ(tally.ToJson()["failed"], 21) << "a unit without an outcome failed";
  tally.Add(unit("2026-12-10T22:00:00.000Z", "success"));  // past midnight in EAST-2
  EXPECT_EQ(tally.ToJson()["good"], 1);
  EXPECT_EQ(tally.ToJson()["failed"], 0) << "a new day counts anew";

  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace fwdl::station
