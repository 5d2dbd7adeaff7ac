// fwdl records: questions answered from a record target, and the spool
// delivered; see records_command.h.
#include "app/run/records_command.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <regex>
#include <vector>

#include "app/run/exit_codes.h"
#include "app/run/record.h"

namespace fwdl::console {
namespace {

constexpr char kUsage[] =
    "usage: fwdl records TARGET [--serial S] [--since DATE|today] [--outcome OUTCOME]\n"
    "                    [--firmware SHA256-PREFIX] [--format table|csv|json]\n"
    "       fwdl records sync [--spool FILE] odbc:CONNECTION...\n"
    "TARGET: a record file (JSON Lines) or odbc:CONNECTION; the runs oldest first.\n"
    "--since takes a UTC date or time as the records write it (2026-12-01,\n"
    "2026-12-01T08:00) or today (since midnight here).\n"
    "sync delivers the records that wait in the spool, in order, once each.\n";

int Usage(const std::string& problem) {
  std::cerr << "fwdl records: " << problem << '\n' << kUsage;
  return static_cast<int>(ExitCode::kUsage);
}

// Midnight here, as the records write time.
std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return UtcTimestamp(std::chrono::system_clock::from_time_t(std::mktime(&local)));
}

std::string Text(const Record& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

// RFC 4180: a field with a comma, a quote or a line end goes in quotes.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + '"';
}

void PrintCsv(const std::vector<Record>& records, std::ostream& out) {
  bool header = true;
  for (const Record& record : records) {
    const Record row = RowOf(record);
    std::string line;
    if (header) {
      for (const auto& [name, value] : row.items()) {
        if (!line.empty()) line += ',';
        line += name;
      }
      out << line << "\r\n";
      line.clear();
      header = false;
    }
    bool first = true;
    for (const auto& [name, value] : row.items()) {
      if (!first) line += ',';
      line += CsvField(Text(value));
      first = false;
    }
    out << line << "\r\n";
  }
}

void PrintTable(const std::vector<Record>& records, std::ostream& out) {
  const std::vector<std::string> heads = {"start", "serial", "procedure", "outcome", "exit",
                                          "host", "port", "firmware", "run_id"};
  std::vector<std::vector<std::string>> cells;
  for (const Record& r : records) {
    const Record row = RowOf(r);
    cells.push_back({Text(row["start"]), Text(row["serial"]), Text(row["procedure"]),
                     Text(row["outcome"]), Text(row["exit_code"]), Text(row["host"]),
                     Text(row["port"]), Text(row["firmware_sha256"]).substr(0, 12),
                     Text(row["run_id"])});
  }
  std::vector<std::size_t> widths;
  for (const auto& head : heads) widths.push_back(head.size());
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  }
  auto print = [&](const std::vector<std::string>& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(widths[i] - line[i].size() + 2, ' ');
    }
    out << text << '\n';
  };
  print(heads);
  for (const auto& line : cells) print(line);
  out << records.size() << (records.size() == 1 ? " run\n" : " runs\n");
}

// The records of a JSON Lines file that the filter asks for. The serial
// and the digest are looked for in the line's text before it is parsed.
std::optional<std::string> FindInFile(const std::string& path, const RecordFilter& filter,
                                      std::vector<Record>& found) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot be read";
  const std::string serial = filter.serial.empty() ? "" : Record(filter.serial).dump();
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty()) continue;
    if (!serial.empty() && line.find(serial) == std::string::npos) continue;
    if (!filter.firmware.empty() && line.find(filter.firmware) == std::string::npos) continue;
    try {
      Record record = Record::parse(line);
      // A station's change of release is a line of its own, no run.
      if (record.is_object() && !record.contains("event") && filter.Matches(record)) found.push_back(std::move(record));
    } catch (const Record::exception&) {
      std::cerr << "fwdl records: " << path << ": line " << number << " is not a record; skipped\n";
    }
  }
  // Oldest first, as the database answers; a file has them in the order they ended.
  std::stable_sort(found.begin(), found.end(), [](const Record& a, const Record& b) {
    return a.value("start", "") < b.value("start", "");
  });
  return std::nullopt;
}

int Sync(const std::vector<std::string>& targets, const std::string& spool_path) {
  const Spool spool(spool_path);
  int code = 0;
  for (const std::string& given : targets) {
    const RecordTarget target = ParseRecordTarget(given);
    if (!target.odbc) return Usage("sync delivers to odbc: targets only");
    const Spool::Synced synced = DeliverSpool(spool, target);
    std::cout << target.shown << ": " << synced.delivered << " delivered, " << synced.waiting
              << " waiting\n";
    if (synced.problem) {
      std::cerr << "fwdl records: " << target.shown << ": " << *synced.problem << '\n';
      code = static_cast<int>(ExitCode::kFailed);
    }
  }
  return code;
}

}  // namespace

RecordTarget ParseRecordTarget(const std::string& given) {
  RecordTarget target{given, false, "", given};
  if (given.rfind("odbc:", 0) == 0) {
    target.odbc = true;
    target.connection = given.substr(5);
    target.shown = "odbc:" + HidePassword(target.connection);
  }
  return target;
}

Spool::Synced DeliverSpool(const Spool& spool, const RecordTarget& target,
                           std::unique_ptr<OdbcStore> connected) {
  std::unique_ptr<OdbcStore> store = std::move(connected);
  bool fresh = !store;
  return spool.Sync(target.shown, [&](const Record& record) -> std::optional<std::string> {
    for (;;) {
      if (!store) {
        store = std::make_unique<OdbcStore>();
        fresh = true;
        if (auto failed = store->Open(target.connection, kDatabaseTimeoutS)) {
          store.reset();
          return failed;
        }
      }
      auto failed = store->Add(record);
      if (!failed || fresh) return failed;
      store.reset();  // the run's connection may have dropped: once more, anew
    }
  });
}

int RecordsMain(int argc, char** argv) {
  RecordFilter filter;
  std::string format = "table", spool = DefaultSpoolPath();
  std::vector<std::string> targets;
  bool sync = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string option = arg.substr(0, arg.find('='));
    auto value = [&]() -> std::optional<std::string> {
      if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
        return arg.substr(arg.find('=') + 1);
      }
      if (i + 1 == argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    std::optional<std::string> v;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (option == "--serial") {
      if (!(v = value()) || v->empty()) return Usage("--serial needs a text");
      filter.serial = *v;
    } else if (option == "--since") {
      if (!(v = value())) return Usage("--since needs a date");
      filter.since = *v == "today" ? Today() : *v;
      if (!std::regex_match(filter.since, std::regex(R"(\d{4}-\d\d-\d\d([T ][0-9:.]*Z?)?)"))) {
        return Usage("--since takes a date such as 2026-12-01, or today");
      }
      std::replace(filter.since.begin(), filter.since.end(), ' ', 'T');
    } else if (option == "--outcome") {
      if (!(v = value()) || !std::regex_match(*v, std::regex("[a-z_]+"))) {
        return Usage("--outcome takes an outcome such as success or no_contact");
      }
      filter.outcome = *v;
    } else if (option == "--firmware") {
      if (!(v = value()) || !std::regex_match(*v, std::regex("[0-9a-fA-F]{1,64}"))) {
        return Usage("--firmware takes the beginning of a SHA-256 in hex");
      }
      filter.firmware = *v;
      std::transform(filter.firmware.begin(), filter.firmware.end(), filter.firmware.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    } else if (option == "--format") {
      if (!(v = value()) || (*v != "table" && *v != "csv" && *v != "json")) {
        return Usage("--format takes table, csv or json");
      }
      format = *v;
    } else if (option == "--spool") {
      if (!(v = value()) || v->empty()) return Usage("--spool needs a file");
      spool = *v;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (arg == "sync" && targets.empty() && !sync) {
      sync = true;
    } else {
      targets.push_back(arg);
    }
  }
  if (sync) return targets.empty() ? Usage("sync needs an odbc: target") : Sync(targets, spool);
  if (targets.size() != 1) return Usage("one TARGET");
  const RecordTarget target = ParseRecordTarget(targets[0]);
  std::vector<Record> found;
  std::optional<std::string> failed;
  if (target.odbc) {
    OdbcStore store;
    failed = store.Open(target.connection, kDatabaseTimeoutS);
    if (!failed) failed = store.Find(filter, found);
  } else {
    failed = FindInFile(target.given, filter, found);
  }
  if (failed) {
    std::cerr << "fwdl records: " << target.shown << ": " << *failed << '\n';
    return static_cast<int>(ExitCode::kFailed);
  }
  if (format == "json") {
    for (const Record& r : found) {
      std::cout << r.dump(-1, ' ', false, Record::error_handler_t::replace) << '\n';
    }
  } else if (format == "csv") {
    PrintCsv(found, std::cout);
  } else {
    PrintTable(found, std::cout);
  }
  return 0;
}

}  // namespace fwdl::console
