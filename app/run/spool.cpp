// The spool of records waiting for a database; see spool.h.
#include "app/run/spool.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "app/run/locked_file.h"

namespace fwdl::console {
namespace {

using namespace std::chrono_literals;
// A holder of the spool's lock keeps it for one read or write; a
// deliverer keeps the delivery lock for as long as the database takes.
constexpr auto kSpoolWait = 15s;
constexpr auto kDeliveryWait = 10s;

struct Line {
  std::string text;              // as in the file, without its "\n"
  std::optional<Record> parsed;  // nothing: a line that cannot be read
};

std::vector<Line> Lines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    Line l{line, std::nullopt};
    try {
      l.parsed = Record::parse(line);
      if (!l.parsed->is_object() || !(*l.parsed)["target"].is_string() ||
          !(*l.parsed)["record"].is_object()) {
        l.parsed.reset();
      }
    } catch (const Record::exception&) {
    }
    lines.push_back(std::move(l));
  }
  return lines;
}

bool For(const Line& line, const std::string& target) {
  return line.parsed && (*line.parsed)["target"] == target;
}

std::string RunId(const Line& line) { return (*line.parsed)["record"].value("run_id", ""); }

std::optional<std::string> ReadSpool(const std::string& path, std::string& text) {
  LockedFile spool;
  if (auto failed = spool.Lock(path, kSpoolWait)) return failed;
  return spool.Read(text);
}

}  // namespace

std::string DefaultSpoolPath() {
  namespace fs = std::filesystem;
#ifdef _WIN32
  const char* local = std::getenv("LOCALAPPDATA");
  const fs::path folder = fs::path(local && *local ? local : ".") / "fwdl";
#else
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const fs::path folder = state && *state ? fs::path(state) / "fwdl"
                          : fs::path(home && *home ? home : ".") / ".local" / "state" / "fwdl";
#endif
  return (folder / "spool.jsonl").string();
}

std::optional<std::string> Spool::Check() const {
  std::error_code error;
  const auto folder = std::filesystem::path(path_).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  if (error) return error.message();
  LockedFile spool;
  return spool.Lock(path_, kSpoolWait);
}

std::optional<std::string> Spool::Add(const std::string& target, const std::string& record_line) const {
  Record line;
  line["target"] = target;
  line["record"] = Record::parse(record_line);
  LockedFile spool;
  if (auto failed = spool.Lock(path_, kSpoolWait)) return failed;
  return spool.Append(line.dump(-1, ' ', false, Record::error_handler_t::replace) + '\n');
}

std::size_t Spool::Waiting(const std::string& target) const {
  std::string text;
  if (ReadSpool(path_, text)) return 0;
  std::size_t waiting = 0;
  for (const Line& line : Lines(text)) waiting += For(line, target) ? 1 : 0;
  return waiting;
}

Spool::Synced Spool::Sync(const std::string& target, const Deliver& deliver) const {
  Synced synced;
  LockedFile delivering;
  bool busy = false;
  if (auto failed = delivering.Lock(path_ + ".lock", kDeliveryWait, &busy)) {
    synced.problem = busy ? "another fwdl is delivering records from " + path_ : *failed;
    synced.waiting = Waiting(target);
    return synced;
  }
  std::string text;
  if (auto failed = ReadSpool(path_, text)) {
    synced.problem = *failed;
    return synced;
  }
  // Deliver in order; stop at the first failure, so that the order holds.
  std::set<std::string> taken;
  for (const Line& line : Lines(text)) {
    if (!For(line, target)) continue;
    if (synced.problem) {
      ++synced.waiting;
      continue;
    }
    if (auto failed = deliver((*line.parsed)["record"])) {
      synced.problem = *failed;
      ++synced.waiting;
      continue;
    }
    taken.insert(RunId(line));
    ++synced.delivered;
  }
  if (taken.empty()) return synced;
  // Remove what was taken; lines added meanwhile stay, behind the rest.
  LockedFile spool;
  if (auto failed = spool.Lock(path_, kSpoolWait)) {
    synced.problem = *failed;
    return synced;
  }
  if (auto failed = spool.Read(text)) {
    synced.problem = *failed;
    return synced;
  }
  std::string kept;
  synced.waiting = 0;
  for (const Line& line : Lines(text)) {
    if (For(line, target) && taken.count(RunId(line))) continue;
    if (For(line, target)) ++synced.waiting;
    kept += line.text + '\n';
  }
  if (auto failed = spool.Replace(kept)) synced.problem = *failed;
  return synced;
}

}  // namespace fwdl::console
