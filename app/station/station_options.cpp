#include "app/station/station_options.h"

#include <algorithm>

#include "app/station/requests.h"

namespace fwdl::station {

const char kStationHelp[] =
    "usage: fwdl station --slot PORT [--slot PORT ...] [--record TARGET ...]\n"
    "                    [--spool FILE] [--listen ADDR:PORT] [--token TOKEN]\n"
    "                    [--trust KEY.pub] FIRMWARE\n"
    "   or: fwdl station ... --trust KEY.pub --releases DIR [--supervisor-token TOKEN]\n"
    "\n"
    "Serves a page for several instruments at once: one tile per slot, one fwdl\n"
    "per slot. FIRMWARE.hex is sent as by fwdl hex, FIRMWARE.bin as by fwdl dvb.\n"
    "\n"
    "  --slot PORT      a port, as fwdl --port takes it; once per instrument\n"
    "  --record TARGET  every slot's fwdl records its run there: a FILE (one), or\n"
    "                   odbc:CONNECTION (any number); records that wait for a\n"
    "                   database are delivered every 30 s\n"
    "  --spool FILE     where records wait for their database, as fwdl --spool\n"
    "  --listen A:P     the address to serve (default 127.0.0.1:8470; port 0:\n"
    "                   any free one); beyond this machine it needs --token\n"
    "  --token TOKEN    16 to 128 letters, digits, - _ . ~: what a page must\n"
    "                   carry to start or answer; without it a page is read-only\n"
    "  --trust KEY.pub  the firmware only with a good signature FIRMWARE.sig by\n"
    "                   this key (as fwdl --trust); may be given more than once;\n"
    "                   every slot's fwdl checks it again over what it sends\n"
    "  --releases DIR   instead of FIRMWARE: every *.hex and *.bin in DIR with a\n"
    "                   good signature is offered, the first by name active;\n"
    "                   needs --trust\n"
    "  --supervisor-token TOKEN\n"
    "                   as --token, and also picks the active release while no\n"
    "                   slot runs; beyond this machine only with HTTPS\n"
    "  --tls-cert FILE --tls-key FILE\n"
    "                   serve HTTPS with this certificate and key (PEM)\n"
    "\n"
    "The address to open is printed on standard output. Ctrl-C ends every\n"
    "running slot as Ctrl-C ends fwdl, each with its record, then the station.\n";

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
      const auto target = value();
      if (!target || target->empty()) return "--record needs a file or odbc:CONNECTION";
      if (target->rfind("odbc:", 0) == 0) {
        options.databases.push_back(*target);
      } else if (options.record) {
        return "--record takes one file (and any number of odbc: targets)";
      } else {
        options.record = target;
      }
    } else if (option == "--spool") {
      options.spool = value();
      if (!options.spool || options.spool->empty()) return "--spool needs a file";
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
    } else if (option == "--releases") {
      options.releases = value();
      if (!options.releases || options.releases->empty()) return "--releases needs a folder";
    } else if (option == "--supervisor-token") {
      options.supervisor_token = value();
      if (!options.supervisor_token || !TokenWillDo(*options.supervisor_token)) {
        return "--supervisor-token takes 16 to 128 letters, digits, \"-\", \"_\", \".\" or \"~\"";
      }
    } else if (option == "--tls-cert" || option == "--tls-key") {
      auto& file = option == "--tls-cert" ? options.tls_cert : options.tls_key;
      file = value();
      if (!file || file->empty()) return option + " needs a file";
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
  if (options.releases) {
    if (options.trust.empty()) return "--releases needs --trust: a release is a signed file";
    if (!options.firmware.empty()) return "--releases or FIRMWARE, not both";
  } else if (options.firmware.empty()) {
    return "no FIRMWARE";
  }
  if (options.tls_cert.has_value() != options.tls_key.has_value()) {
    return "--tls-cert and --tls-key go together";
  }
#ifdef _WIN32
  if (options.tls_cert) {
    return "--tls-cert: this fwdl serves plain HTTP on Windows; put a reverse proxy with HTTPS "
           "in front of a station on 127.0.0.1";
  }
#endif
  if (options.supervisor_token && !options.releases) {
    return "--supervisor-token needs --releases: the supervisor picks among them";
  }
  if (options.supervisor_token && options.token == options.supervisor_token) {
    return "--supervisor-token must differ from --token";
  }
  return std::nullopt;
}

}  // namespace fwdl::station
