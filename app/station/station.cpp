#include "app/station/station.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "app/console/append.h"
#include "app/console/check.h"
#include "app/console/console_os.h"
#include "app/console/port_selector.h"
#include "app/console/record.h"
#include "app/station/child_process.h"
#include "app/station/http_server.h"
#include "app/station/slot.h"
#include "app/station/station_page.h"
#include "app/station/tally.h"
#include "platform/serial_devices.h"
#include "platform/sha256.h"

namespace fwdl::station {

const char kStationHelp[] =
    "usage: fwdl station --slot PORT [--slot PORT ...] [--record FILE]\n"
    "                    [--listen ADDR:PORT] [--token TOKEN] [--trust KEY.pub]\n"
    "                    FIRMWARE\n"
    "\n"
    "Serves a page for several instruments at once: one tile per slot, one fwdl\n"
    "per slot. FIRMWARE.hex is sent as by fwdl hex, FIRMWARE.bin as by fwdl dvb.\n"
    "\n"
    "  --slot PORT      a port, as fwdl --port takes it; once per instrument\n"
    "  --record FILE    every slot's fwdl appends its record line to FILE\n"
    "  --listen A:P     the address to serve (default 127.0.0.1:8470; port 0:\n"
    "                   any free one); beyond this machine it needs --token\n"
    "  --token TOKEN    16 to 128 letters, digits, - _ . ~: what a page must\n"
    "                   carry to start or answer; without it a page is read-only\n"
    "  --trust KEY.pub  the firmware only with a good signature FIRMWARE.sig by\n"
    "                   this key (as fwdl --trust); may be given more than once;\n"
    "                   every slot's fwdl checks it again over what it sends\n"
    "\n"
    "The address to open is printed on standard output. Ctrl-C ends every\n"
    "running slot as Ctrl-C ends fwdl, each with its record, then the station.\n";

namespace {

using console::FileKind;

struct Firmware {
  std::string path, procedure, sha256;
  std::uint64_t size = 0;
  std::optional<std::string> signed_by;  // --trust: the fingerprint of its key
};

// One fwdl at work on a slot: the process and the threads that read it.
struct Running {
  std::unique_ptr<ChildProcess> child;
  std::thread output, errors;
};

// Hands each whole line of what `read` returns to `line`, until the pipe ends.
template <typename Read, typename Line>
void ReadLines(Read read, Line line) {
  constexpr std::size_t kLongest = 1 << 16;  // a longer "line" is no event
  std::string pending;
  char buffer[4096];
  while (const std::size_t got = read(buffer, sizeof buffer)) {
    pending.append(buffer, got);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string whole = pending.substr(0, end);
      if (!whole.empty() && whole.back() == '\r') whole.pop_back();
      line(std::move(whole));
      pending.erase(0, end + 1);
    }
    if (pending.size() > kLongest) {
      line(std::move(pending));
      pending.clear();
    }
  }
  if (!pending.empty()) line(std::move(pending));
}

class Station {
 public:
  Station(const StationOptions& options, const std::vector<SlotPlace>& places, Firmware firmware,
          std::string version)
      : options_(options), firmware_(std::move(firmware)), version_(std::move(version)),
        fwdl_(ThisProgram()), server_([this](const HttpRequest& r) { return Handle(r); }) {
    for (std::size_t i = 0; i < options.slots.size(); ++i) {
      slots_.emplace_back(static_cast<int>(i), options.slots[i], places[i].device, places[i].adapter);
    }
    running_.resize(slots_.size());
    if (options.record) {
      std::ifstream records(*options.record);
      tally_.Load(records, Today());
    } else {
      std::istringstream none;
      tally_.Load(none, Today());
    }
  }

  ~Station() {
    for (const auto& running : running_) {
      if (!running) continue;
      running->child->Kill();
      running->output.join();
      running->errors.join();
    }
  }

  int Run(const std::string& host, unsigned short port) {
    if (const auto why = server_.Listen(host, port)) {
      std::cerr << "fwdl station: cannot listen on " << *why << '\n';
      return 2;
    }
    access_.hosts = HostsOf(host, server_.address(), server_.port(), server_.loopback());
    access_.token = options_.token ? *options_.token : NewToken();
    if (!server_.loopback() && !options_.token) {
      std::cerr << "fwdl station: listening beyond this machine needs --token\n";
      return 2;
    }
    const bool named = host.find_first_not_of("0123456789.:[]abcdefABCDEF") != std::string::npos;
    const std::string shown_host = named ? host : access_.hosts.front();
    std::string address = "http://" + (named ? host + ":" + std::to_string(server_.port())
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
    server_.Run();
    return 0;
  }

 private:
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

  Json State() const {
    Json slots = Json::array();
    for (const Slot& slot : slots_) slots.push_back(slot.Summary());
    return {{"version", version_},
            {"firmware",
             {{"path", firmware_.path},
              {"procedure", firmware_.procedure},
              {"size", firmware_.size},
              {"sha256", firmware_.sha256},
              {"signed_by", firmware_.signed_by ? Json(*firmware_.signed_by) : Json(nullptr)}}},
            {"record", options_.record ? Json(*options_.record) : Json(nullptr)},
            {"stopping", stopping_},
            {"slots", slots},
            {"tally", tally_.ToJson()}};
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
    arguments.push_back(firmware_.path);
    server_.Broadcast(ServerSentEvent("slot", slot.Begin(serial).dump()));
    std::string why;
    auto child = ChildProcess::Start(fwdl_, arguments, why);
    if (!child) {
      std::cerr << "fwdl station: slot " << index << ": cannot start fwdl: " << why << '\n';
      // The tile tells why; the tally counts units that fwdl ran (and
      // recorded), and this one never reached the instrument.
      server_.Broadcast(ServerSentEvent("slot", slot.NotStarted(why).dump()));
      return Refuse(500, "cannot start fwdl: " + why);
    }
    auto running = std::make_unique<Running>();
    ChildProcess* process = child.get();
    running->child = std::move(child);
    running->errors = std::thread([this, index, process] {
      ReadLines([&](char* b, std::size_t n) { return process->ReadErrors(b, n); },
                [&](std::string line) {
                  // fwdl's own lines (the system's reasons, how it ended);
                  // the texts for a person are on the page.
                  if (!line.starts_with("fwdl: ")) return;
                  server_.Post([this, index, line] {
                    std::cerr << "slot " << index << " (" << slots_[index].port()
                              << "): " << line << std::endl;
                  });
                });
    });
    running->output = std::thread([this, index, process] {
      ReadLines([&](char* b, std::size_t n) { return process->ReadOutput(b, n); },
                [&](std::string line) {
                  server_.Post([this, index, line] { Took(index, line); });
                });
      const int code = process->Wait();
      server_.Post([this, index, code] { Finished(index, code); });
    });
    running_[index] = std::move(running);
    return {202, "application/json", Json{{"slot", index}, {"started", true}}.dump() + "\n"};
  }

  HttpReply Answer(int index, bool ok) {
    Slot& slot = slots_[index];
    if (!slot.asking() || !running_[index]) {
      return Refuse(409, "slot " + std::to_string(index) + " has no question waiting");
    }
    ChildProcess& child = *running_[index]->child;
    if (!slot.Answer(ok, [&](const std::string& line) { return child.Write(line); })) {
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
    if (std::unique_ptr<Running> running = std::move(running_[index])) {
      running->output.join();
      running->errors.join();
    }
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
    if (stopping_ && !AnyBusy()) server_.Stop();
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
    }
    for (const auto& running : running_) {
      if (!running) continue;
      if (interrupts_ == 1) {
        // As Ctrl-C: fwdl --json takes it from its input (answer.h), on
        // every system and whether or not the station has a console.
        (void)running->child->Write("{\"interrupt\":true}\n");
      } else {
        running->child->Kill();
      }
    }
    if (!busy) server_.Stop();
  }

  const StationOptions options_;
  const Firmware firmware_;
  const std::string version_, fwdl_;
  HttpServer server_;
  Access access_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<Running>> running_;
  std::map<int, std::string> starts_;  // the start time fwdl told, per running slot
  Tally tally_;
  bool stopping_ = false;
  int interrupts_ = 0;
};

// The firmware as the slots will send it, or why it will not do. With
// trusted keys the file is read once and that is what is examined.
std::optional<std::string> Examine(const std::string& path, const std::vector<std::string>& trust,
                                   Firmware& firmware) {
  const std::optional<FileKind> kind = console::FileKindOf(path);
  if (!kind) return "the firmware's name must end in .hex (HEX) or .bin (DVB)";
  firmware.path = path;
  firmware.procedure = *kind == FileKind::kHex ? "hex" : "dvb";
  if (!trust.empty()) {
    const Release release = ReadRelease(path, ReadTrustedKeys(trust));
    if (release.check == ReleaseCheck::kUnreadable) return "cannot be read";
    if (release.check == ReleaseCheck::kUntrusted) return "not signed by a trusted key: " + release.why;
    firmware.signed_by = release.signed_by;
    firmware.size = release.bytes.size();
    const std::string_view text(reinterpret_cast<const char*>(release.bytes.data()), release.bytes.size());
    if (*kind == FileKind::kHex) {
      if (const auto problem = console::HexTextError(text)) return *problem;
    } else if (firmware.size == 0) {
      return "an empty image";
    }
    Sha256 digest;
    digest.Update(release.bytes.data(), release.bytes.size());
    const auto sha256 = digest.Finish();
    if (!sha256) return "cannot be read";
    firmware.sha256 = *sha256;
    return std::nullopt;
  }
  std::error_code error;
  firmware.size = std::filesystem::file_size(path, error);
  if (error) return "cannot be read: " + error.message();
  if (*kind == FileKind::kHex) {
    if (const auto problem = console::HexFileError(path)) return *problem;
  } else if (firmware.size == 0) {
    return "an empty image";
  }
  const auto digest = Sha256OfFile(path);
  if (!digest) return "cannot be read";
  firmware.sha256 = *digest;
  return std::nullopt;
}

}  // namespace

std::optional<std::pair<std::string, unsigned short>> SplitListen(const std::string& listen) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) return std::nullopt;
  std::string host = listen.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3) return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  unsigned long port = 0;
  for (const char c : listen.substr(colon + 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535) return std::nullopt;
  }
  return std::pair{host, static_cast<unsigned short>(port)};
}

std::vector<SlotPlace> PlaceSlots(const std::vector<std::string>& slots) {
  // What tells each slot's adapter apart, as fwdl ports shows it: on Linux
  // the driver, USB ids, serial number and names; on Windows the Device
  // Manager's name and the USB ids. Nothing for a device it does not list.
  const std::vector<console::PortInfo> present = console::ListPorts();
  std::vector<SlotPlace> places;
  for (const std::string& port : slots) {
    // The port its fwdl will open, chosen as fwdl --port chooses it, then
    // with its links resolved, so that two names of one device are equal.
    const std::string name = console::ChoosePort(port).name;
    const std::string device = name.empty() ? "" : PortDevice(name);
    SlotPlace place;
    if (!device.empty()) place.device = DescribeDevice(device).device;
    const auto listed = std::find_if(present.begin(), present.end(), [&](const auto& p) {
      return !place.device.empty() && p.device == place.device;
    });
    if (listed != present.end()) place.adapter = listed->about;
    places.push_back(std::move(place));
  }
  return places;
}

std::optional<std::string> SharedDevice(const std::vector<std::string>& slots,
                                        const std::vector<SlotPlace>& places) {
  std::map<std::string, std::string> devices;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::string& device = places[i].device;
    if (device.empty()) continue;  // nothing behind it (yet): its fwdl will say so
    if (const auto [other, fresh] = devices.emplace(device, slots[i]); !fresh) {
      return "--slot " + other->second + " and --slot " + slots[i] +
             " lead to the same device, " + device;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ParseStation(const std::vector<std::string>& arguments,
                                        StationOptions& options) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    const std::string option = arg.substr(0, arg.find('='));
    auto value = [&]() -> std::optional<std::string> {
      if (option != arg) return arg.substr(option.size() + 1);
      if (i + 1 == arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    if (option == "--slot") {
      const auto port = value();
      if (!port || port->empty()) return "--slot needs a port";
      if (std::find(options.slots.begin(), options.slots.end(), *port) != options.slots.end()) {
        return "--slot " + *port + " is given twice";
      }
      options.slots.push_back(*port);
    } else if (option == "--record") {
      options.record = value();
      if (!options.record || options.record->empty()) return "--record needs a file";
    } else if (option == "--listen") {
      const auto listen = value();
      const auto split = listen ? SplitListen(*listen) : std::nullopt;
      if (!split) return "--listen takes ADDR:PORT, such as 127.0.0.1:8470";
      // The Host of every request must be the address served; "any
      // address" has none to hold it to.
      if (split->first == "0.0.0.0" || split->first == "::" || split->first.empty()) {
        return "--listen needs the address or name of one interface, not " + *listen;
      }
      options.listen = *listen;
    } else if (option == "--trust") {
      const auto key = value();
      if (!key || key->empty()) return "--trust needs a key file";
      options.trust.push_back(*key);
    } else if (option == "--token") {
      options.token = value();
      if (!options.token || !TokenWillDo(*options.token)) {
        return "--token takes 16 to 128 letters, digits, \"-\", \"_\", \".\" or \"~\"";
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options.firmware.empty()) {
      options.firmware = arg;
    } else {
      return "one firmware file only";
    }
  }
  if (options.slots.empty()) return "no --slot";
  if (options.firmware.empty()) return "no FIRMWARE";
  return std::nullopt;
}

int StationMain(int argc, char** argv, const std::string& version) {
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  if (std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) {
        return a == "-h" || a == "--help";
      }) != arguments.end()) {
    std::cout << kStationHelp;
    return 0;
  }
  StationOptions options;
  if (const auto problem = ParseStation(arguments, options)) {
    std::cerr << "fwdl station: " << *problem << '\n' << kStationHelp;
    return 2;  // fwdl's usage error
  }
  Firmware firmware;
  if (const auto problem = Examine(options.firmware, options.trust, firmware)) {
    std::cerr << "fwdl station: " << options.firmware << ": " << *problem << '\n';
    return 5;  // as fwdl refuses a file
  }
  if (options.record) {
    // A record that cannot be written fails the station before any slot runs.
    console::AppendFile record;
    if (const auto why = record.Open(*options.record)) {
      std::cerr << "fwdl station: --record " << *options.record << ": " << *why << '\n';
      return 2;
    }
  }
  const std::vector<SlotPlace> places = PlaceSlots(options.slots);
  if (const auto problem = SharedDevice(options.slots, places)) {
    std::cerr << "fwdl station: " << *problem << '\n';
    return 2;
  }
  const auto [host, port] = *SplitListen(options.listen);
  Station station(options, places, firmware, version);
  return station.Run(host, port);
}

}  // namespace fwdl::station
