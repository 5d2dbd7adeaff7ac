// fwdl station's command line: the slots, the record, the address served
// and its token, the firmware; read and checked before anything is opened,
// so that a mistake is a usage error and nothing has started.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fwdl::station {

struct StationOptions {
  std::vector<std::string> slots;  // the ports, as --port takes them
  std::optional<std::string> record, token;  // record: the record file
  std::vector<std::string> databases;         // the odbc: targets of --record
  std::optional<std::string> spool;           // where their records wait
  std::string listen = "127.0.0.1:8470";
  std::string firmware;
  std::vector<std::string> trust;  // --trust: the key files
  std::optional<std::string> releases;  // --releases: a folder of signed releases
  std::optional<std::string> supervisor_token;  // may also pick the release
  std::optional<std::string> tls_cert, tls_key;  // HTTPS
};

// `arguments` follow "station"; a usage problem, or nothing.
std::optional<std::string> ParseStation(const std::vector<std::string>& arguments,
                                        StationOptions& options);

// Splits "ADDR:PORT" ("127.0.0.1:8470", "[::1]:8470", "bench-3:8470");
// nothing when it is no such text.
std::optional<std::pair<std::string, unsigned short>> SplitListen(const std::string& listen);

extern const char kStationHelp[];

}  // namespace fwdl::station
