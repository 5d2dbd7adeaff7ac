// The station at work: routes each request of the page to its slot, runs
// the slot's fwdl when the page starts it, and tells every page what the
// slots do. The checks before it serves (the command line, the firmware,
// the record file, where the slots lead) come first, in StationMain.
#include "app/station/station.h"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/run/append.h"
#include "app/run/exit_codes.h"
#include "app/run/record.h"
#include "app/run/records_command.h"
#include "app/station/firmware.h"
#include "app/station/http_server.h"
#include "app/station/slot.h"
#include "app/station/slot_places.h"
#include "app/station/slot_processes.h"
#include "app/station/station_options.h"
#include "app/station/station_page.h"
#include "app/station/tally.h"

namespace fwdl::station {
namespace {

using console::ExitCode;

class Station {
 public:
  Station(const StationOptions& options, const std::vector<SlotPlace>& places, Firmware firmware,
          std::vector<Offered> offered, std::string version)
      : options_(options), firmware_(std::move(firmware)), offered_(std::move(offered)),
        version_(std::move(version)),
        server_([this](const HttpRequest& r) { return Handle(r); }),
        processes_(options.slots.size(), Listener()) {
    for (std::size_t i = 0; i < options.slots.size(); ++i) {
      slots_.emplace_back(static_cast<int>(i), options.slots[i], places[i].device, places[i].adapter);
    }
    if (options.record) {
      std::ifstream records(*options.record);
      tally_.Load(records, Today());
    } else {
      std::istringstream none;
      tally_.Load(none, Today());
    }
  }

  ~Station() {
    {
      const std::lock_guard<std::mutex> lock(sync_mutex_);
      sync_stop_ = true;
    }
    sync_wake_.notify_all();
    if (sync_.joinable()) sync_.join();
  }

  int Run(const std::string& host, unsigned short port) {
    const bool tls = options_.tls_cert.has_value();
    if (tls) {
      if (const auto why = server_.UseTls(*options_.tls_cert, *options_.tls_key)) {
        std::cerr << "fwdl station: " << *why << '\n';
        return static_cast<int>(ExitCode::kUsage);
      }
    }
    if (const auto why = server_.Listen(host, port)) {
      std::cerr << "fwdl station: cannot listen on " << *why << '\n';
      return static_cast<int>(ExitCode::kUsage);
    }
    access_.hosts = HostsOf(host, server_.address(), server_.port(), server_.loopback());
    access_.token = options_.token ? *options_.token : NewToken();
    access_.supervisor_token = options_.supervisor_token.value_or("");
    if (!server_.loopback() && !options_.token) {
      std::cerr << "fwdl station: listening beyond this machine needs --token\n";
      return static_cast<int>(ExitCode::kUsage);
    }
    // Plain HTTP carries the token in the clear across the network: the
    // token that changes the release stays on this machine.
    if (!server_.loopback() && options_.supervisor_token && !tls) {
      std::cerr << "fwdl station: --supervisor-token is refused over plain HTTP beyond this "
                   "machine\n";
      return static_cast<int>(ExitCode::kUsage);
    }
    const bool named = host.find_first_not_of("0123456789.:[]abcdefABCDEF") != std::string::npos;
    const std::string shown_host = named ? host : access_.hosts.front();
    std::string address = (tls ? "https://" : "http://") + (named ? host + ":" + std::to_string(server_.port())
                                             : shown_host) + "/";
    if (!server_.loopback()) address += "#token=" + access_.token;
    std::cout << address << std::endl;
    std::cerr << "fwdl station: " << slots_.size() << (slots_.size() == 1 ? " slot" : " slots")
              << ", " << firmware_.path << " (" << firmware_.procedure << ", " << firmware_.size
              << " bytes, SHA-256 " << firmware_.sha256
              << (firmware_.signed_by ? ", signed by " + *firmware_.signed_by : std::string())
              << "); open the address above in a "
              << "browser. Ctrl-C stops the station." << std::endl;
    server_.OnInterrupt([this] { Interrupt(); });
    if (!options_.databases.empty()) {
      waiting_ = Waiting();
      sync_ = std::thread([this] { SyncEvery30s(); });
    }
    server_.Run();
    return static_cast<int>(ExitCode::kSuccess);
  }

 private:
  // What each slot's fwdl tells, taken to the server's thread: its JSON
  // events to the slot, its own lines ("fwdl: ...", the system's reasons,
  // how it ended) to the station's standard error; the texts for a person
  // are on the page.
  SlotProcesses::Listener Listener() {
    return {
        .output = [this](int index, std::string line) {
          server_.Post([this, index, line = std::move(line)] { Took(index, line); });
        },
        .errors = [this](int index, std::string line) {
          if (!line.starts_with("fwdl: ")) return;
          server_.Post([this, index, line = std::move(line)] {
            std::cerr << "slot " << index << " (" << slots_[index].port() << "): " << line
                      << std::endl;
          });
        },
        .ended = [this](int index, int code) {
          server_.Post([this, index, code] { Finished(index, code); });
        },
    };
  }

  HttpReply Handle(const HttpRequest& request) {
    const auto screened = Screen(request, access_, static_cast<int>(slots_.size()));
    if (const auto* refusal = std::get_if<Refusal>(&screened)) {
      return Refuse(refusal->status, refusal->why);
    }
    const Routed& routed = std::get<Routed>(screened);
    switch (routed.route) {
      case Route::kPage: return {200, "text/html; charset=utf-8", Page()};
      case Route::kState: return {200, "application/json", State().dump() + "\n"};
      case Route::kEvents: {
        std::string first = ServerSentEvent("state", State().dump());
        for (const Slot& slot : slots_) {
          for (const Json& event : slot.events()) first += ServerSentEvent("slot", event.dump());
        }
        return {200, "text/event-stream", first, /*stream=*/true};
      }
      case Route::kRole: return {200, "application/json", Json{{"role", routed.role}}.dump() + "\n"};
      case Route::kRelease: return ChangeRelease(routed.release);
      case Route::kStart: return Start(routed.slot, routed.serial);
      case Route::kAnswer: return Answer(routed.slot, routed.ok);
    }
    return Refuse(404, "no such thing here");
  }

  std::string Page() const {
    std::string page(kStationPage, sizeof kStationPage - 1);
    const std::string mark = "@STATION_TOKEN@";
    // The token goes only into a page of the loopback: beyond the machine
    // the technician brings it in the address.
    const std::size_t at = page.find(mark);
    if (at != std::string::npos) {
      page.replace(at, mark.size(), server_.loopback() ? access_.token : "");
    }
    return page;
  }

  // The active firmware and, with --releases, every file offered or refused.
  Json Releases() const {
    Json releases = Json::array();
    for (const Offered& o : offered_) {
      releases.push_back({{"name", o.name},
                          {"size", o.firmware.size},
                          {"sha256", o.refused ? Json(nullptr) : Json(o.firmware.sha256)},
                          {"signed_by", o.firmware.signed_by ? Json(*o.firmware.signed_by)
                                                             : Json(nullptr)},
                          {"refused", o.refused ? Json(*o.refused) : Json(nullptr)}});
    }
    return {{"firmware",
             {{"path", firmware_.path},
              {"procedure", firmware_.procedure},
              {"size", firmware_.size},
              {"sha256", firmware_.sha256},
              {"signed_by", firmware_.signed_by ? Json(*firmware_.signed_by) : Json(nullptr)}}},
            {"releases", options_.releases ? releases : Json(nullptr)}};
  }

  Json State() const {
    Json slots = Json::array();
    for (const Slot& slot : slots_) slots.push_back(slot.Summary());
    const Json releases = Releases();
    return {{"version", version_},
            {"firmware", releases["firmware"]},
            {"releases", releases["releases"]},
            {"record", options_.record ? Json(*options_.record) : Json(nullptr)},
            {"stopping", stopping_},
            {"slots", slots},
            {"tally", tally_.ToJson()},
            {"waiting", waiting_}};
  }

  HttpReply Start(int index, const std::string& serial) {
    Slot& slot = slots_[index];
    if (stopping_) return Refuse(503, "the station is stopping");
    if (slot.busy()) return Refuse(409, "slot " + std::to_string(index) + " is busy");
    std::vector<std::string> arguments{firmware_.procedure, "--port", slot.port(), "--json",
                                       "--serial", serial};
    if (options_.record) arguments.insert(arguments.end(), {"--record", *options_.record});
    // Each slot's fwdl reads the file once and checks what it sends: a file
    // changed since the station checked it is refused there.
    for (const std::string& key : options_.trust) arguments.insert(arguments.end(), {"--trust", key});
    for (const std::string& database : options_.databases) {
      arguments.insert(arguments.end(), {"--record", database});
    }
    if (options_.spool) arguments.insert(arguments.end(), {"--spool", *options_.spool});
    arguments.push_back(firmware_.path);
    server_.Broadcast(ServerSentEvent("slot", slot.Begin(serial).dump()));
    if (const auto why = processes_.Start(index, arguments)) {
      std::cerr << "fwdl station: slot " << index << ": cannot start fwdl: " << *why << '\n';
      // The tile tells why; the tally counts units that fwdl ran (and
      // recorded), and this one never reached the instrument.
      server_.Broadcast(ServerSentEvent("slot", slot.NotStarted(*why).dump()));
      return Refuse(500, "cannot start fwdl: " + *why);
    }
    return {202, "application/json", Json{{"slot", index}, {"started", true}}.dump() + "\n"};
  }

  // The supervisor's pick: a record line of its own in the record file
  // first, so that no release is ever sent that the record does not name.
  HttpReply ChangeRelease(const std::string& name) {
    if (!options_.releases) return Refuse(404, "this station serves one firmware, no releases");
    if (stopping_) return Refuse(503, "the station is stopping");
    const auto picked = PickRelease(name, offered_, AnyBusy());
    if (const auto* refusal = std::get_if<Refusal>(&picked)) {
      return Refuse(refusal->status, refusal->why);
    }
    const Firmware& chosen = offered_[std::get<std::size_t>(picked)].firmware;
    const Json line{{"event", "release"},
                    {"time", console::UtcTimestamp(std::chrono::system_clock::now())},
                    {"file", name},
                    {"size", chosen.size},
                    {"sha256", chosen.sha256},
                    {"signed_by", chosen.signed_by ? Json(*chosen.signed_by) : Json(nullptr)}};
    if (options_.record) {
      console::AppendFile record;
      auto why = record.Open(*options_.record);
      if (!why) why = record.Append(line.dump() + "\n");
      if (why) return Refuse(500, "the record cannot be written: " + *why);
    }
    firmware_ = chosen;
    std::cerr << "fwdl station: the supervisor made " << name << " the active release (SHA-256 "
              << chosen.sha256 << ")" << std::endl;
    // The header changes; the tiles (and the serials typed in them) stay.
    server_.Broadcast(ServerSentEvent("release", Releases().dump()));
    return {200, "application/json", line.dump() + "\n"};
  }

  HttpReply Answer(int index, bool ok) {
    Slot& slot = slots_[index];
    if (!slot.asking() || !processes_.Running(index)) {
      return Refuse(409, "slot " + std::to_string(index) + " has no question waiting");
    }
    if (!slot.Answer(ok, [&](const std::string& line) { return processes_.Write(index, line); })) {
      return Refuse(409, "slot " + std::to_string(index) + " no longer takes answers");
    }
    return {200, "application/json",
            Json{{"slot", index}, {"answer", ok ? "ok" : "cancel"}}.dump() + "\n"};
  }

  void Took(int index, const std::string& line) {
    if (const auto event = slots_[index].Take(line)) {
      if ((*event)["event"] == "start") starts_[index] = event->value("time", "");
      server_.Broadcast(ServerSentEvent("slot", event->dump()));
    }
  }

  void Finished(int index, int code) {
    processes_.Reap(index);
    Slot& slot = slots_[index];
    const Json exit = slot.Finish(code);
    server_.Broadcast(ServerSentEvent("slot", exit.dump()));
    std::string start = starts_[index];
    starts_.erase(index);
    if (start.empty()) start = console::UtcTimestamp(std::chrono::system_clock::now());
    Unit unit{start, slot.port(), exit["serial"].get<std::string>(),
              exit["outcome"].is_string() ? exit["outcome"].get<std::string>() : "",
              exit["words"].get<std::string>(), exit["instrument_text"].get<std::string>()};
    tally_.Add(unit);
    server_.Broadcast(ServerSentEvent("tally", tally_.ToJson().dump()));
    if (!options_.databases.empty()) ShowWaiting(Waiting());
    if (stopping_ && !AnyBusy()) server_.Stop();
  }

  // The records that wait in the spool for the station's databases: the
  // spool read, nothing sent.
  std::size_t Waiting() const {
    const console::Spool spool(SpoolPath());
    std::size_t waiting = 0;
    for (const std::string& database : options_.databases) {
      waiting += spool.Waiting(console::ParseRecordTarget(database).shown);
    }
    return waiting;
  }

  std::string SpoolPath() const { return options_.spool.value_or(console::DefaultSpoolPath()); }

  void ShowWaiting(std::size_t waiting) {
    if (waiting == waiting_) return;
    waiting_ = waiting;
    server_.Broadcast(ServerSentEvent("waiting", Json{{"waiting", waiting}}.dump()));
  }

  // Every 30 s, what waits for a database is delivered, on a thread of its
  // own: a database out of reach may take its time-outs. The count goes to
  // the pages through the server's thread.
  void SyncEvery30s() {
    const console::Spool spool(SpoolPath());
    std::unique_lock<std::mutex> lock(sync_mutex_);
    while (!sync_wake_.wait_for(lock, std::chrono::seconds(30), [this] { return sync_stop_; })) {
      lock.unlock();
      std::size_t waiting = 0;
      for (const std::string& database : options_.databases) {
        const auto target = console::ParseRecordTarget(database);
        const auto synced = console::DeliverSpool(spool, target);
        waiting += synced.waiting;
        if (synced.problem && synced.waiting > 0) {
          std::cerr << "fwdl station: " << target.shown << ": " << *synced.problem << "; "
                    << synced.waiting << " records waiting for the database" << std::endl;
        }
      }
      server_.Post([this, waiting] { ShowWaiting(waiting); });
      lock.lock();
    }
  }

  bool AnyBusy() const {
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.busy(); });
  }

  void Interrupt() {
    ++interrupts_;
    const bool busy = AnyBusy();
    if (interrupts_ == 1) {
      stopping_ = true;
      std::cerr << "fwdl station: stopping; every running slot ends as on Ctrl-C"
                << (busy ? " (Ctrl-C again ends them at once)" : "") << std::endl;
      server_.Broadcast(ServerSentEvent("stopping", "{}"));
      // As Ctrl-C: fwdl --json takes it from its input (answer.h), on
      // every system and whether or not the station has a console.
      processes_.WriteAll("{\"interrupt\":true}\n");
    } else {
      processes_.KillAll();
    }
    if (!busy) server_.Stop();
  }

  const StationOptions options_;
  Firmware firmware_;                // the active one
  const std::vector<Offered> offered_;  // --releases
  const std::string version_;
  HttpServer server_;
  Access access_;
  std::vector<Slot> slots_;
  std::map<int, std::string> starts_;  // the start time fwdl told, per running slot
  Tally tally_;
  bool stopping_ = false;
  std::size_t waiting_ = 0;  // records in the spool for the databases
  std::thread sync_;
  std::mutex sync_mutex_;
  std::condition_variable sync_wake_;
  bool sync_stop_ = false;
  int interrupts_ = 0;
  // Last, so that it goes first: its threads post to the server and read
  // the slots until it has joined them.
  SlotProcesses processes_;
};

}  // namespace

int StationMain(int argc, char** argv, const std::string& version, const SystemPlaces& system) {
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  if (std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) {
        return a == "-h" || a == "--help";
      }) != arguments.end()) {
    std::cout << kStationHelp;
    return static_cast<int>(ExitCode::kSuccess);
  }
  StationOptions options;
  if (const auto problem = ParseStation(arguments, options)) {
    std::cerr << "fwdl station: " << *problem << '\n' << kStationHelp;
    return static_cast<int>(ExitCode::kUsage);
  }
  Firmware firmware;
  std::vector<Offered> offered;
  if (options.releases) {
    if (const auto problem = ExamineReleases(*options.releases, options.trust, offered)) {
      std::cerr << "fwdl station: --releases " << *options.releases << ": " << *problem << '\n';
      return static_cast<int>(ExitCode::kUsage);
    }
    for (const Offered& o : offered) {
      if (o.refused) std::cerr << "fwdl station: refused: " << o.name << ": " << *o.refused << '\n';
    }
    const auto good = std::find_if(offered.begin(), offered.end(),
                                   [](const Offered& o) { return !o.refused; });
    if (good == offered.end()) {
      std::cerr << "fwdl station: --releases " << *options.releases
                << ": no file with a good signature by a trusted key\n";
      return static_cast<int>(ExitCode::kFileRefused);
    }
    firmware = good->firmware;
  } else if (const auto problem = ExamineFirmware(options.firmware, options.trust, firmware)) {
    std::cerr << "fwdl station: " << options.firmware << ": " << *problem << '\n';
    return static_cast<int>(ExitCode::kFileRefused);  // as fwdl refuses a file
  }
  for (const std::string& database : options.databases) {
    // A database that can never take a record fails the station at once; one
    // out of reach now does not: the records wait.
    const auto target = console::ParseRecordTarget(database);
    console::OdbcStore store;
    if (const auto why = store.Open(target.connection, console::kDatabaseTimeoutS)) {
      std::cerr << "fwdl station: --record " << target.shown << ": " << *why << '\n';
      if (store.ConfigurationFault()) return static_cast<int>(ExitCode::kUsage);
    }
  }
  if (options.record) {
    // A record that cannot be written fails the station before any slot runs.
    console::AppendFile record;
    if (const auto why = record.Open(*options.record)) {
      std::cerr << "fwdl station: --record " << *options.record << ": " << *why << '\n';
      return static_cast<int>(ExitCode::kUsage);
    }
  }
  const std::vector<SlotPlace> places = PlaceSlots(options.slots, system);
  if (const auto problem = SharedDevice(options.slots, places)) {
    std::cerr << "fwdl station: " << *problem << '\n';
    return static_cast<int>(ExitCode::kUsage);
  }
  const auto [host, port] = *SplitListen(options.listen);
  Station station(options, places, firmware, std::move(offered), version);
  return station.Run(host, port);
}

}  // namespace fwdl::station
