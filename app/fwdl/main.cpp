// fwdl: Firmware Downloader on the command line, for scripts, production
// lines and several instruments at once. The same core as the window, with
// the port and the file from the command line; a record of every run and
// JSON events for station programs.
#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "app/console/console_window.h"
#include "app/console/doctor.h"
#include "app/console/loopcheck.h"
#include "app/console/ports_list.h"
#include "app/port_options.h"
#include "app/run/append.h"
#include "app/run/check.h"
#include "app/run/console_os.h"
#include "app/run/exit_codes.h"
#include "app/run/json_events.h"
#include "app/run/port_selector.h"
#include "app/run/record.h"
#include "app/run/records_command.h"
#include "app/station/station.h"
#include "download/firmware_file.h"
#include "download/release.h"
#include "platform/sha256.h"

namespace {

using fwdl::Outcome;
using fwdl::console::ExitCode;

const char kHelp[] =
    "usage: fwdl hex --port PORT [options] FILE   send a Vardelo HEX firmware file\n"
    "       fwdl dvb --port PORT [options] FILE   send a DVB firmware image\n"
    "       fwdl check [--kind hex|dvb] [--trust KEY.pub] FILE\n"
    "                                             check a firmware file, touch no port\n"
    "       fwdl ports [--json]                   list the serial ports present, and the\n"
    "                                             USB serial adapters without a port\n"
    "       fwdl doctor [PORT]                    check what keeps ports from working,\n"
    "                                             each check with what to do\n"
    "       fwdl loopcheck PORT_A PORT_B          check the flow control of A's adapter\n"
    "                                             over a null-modem cable to B\n"
    "       fwdl station --slot PORT [...] FIRMWARE  several instruments from a page in\n"
    "                                             the browser (fwdl station --help)\n"
    "       fwdl records TARGET [filters]         the runs a record target holds, and\n"
    "       fwdl records sync odbc:CONNECTION     the spool delivered (fwdl records --help)\n"
    "       fwdl --help | --version\n"
    "\n"
    "  -p, --port PORT  COM1..COM8 (on Linux the serial devices present, in a\n"
    "                   fixed order, or the device named by FWDL_COMn), or a\n"
    "                   device path such as /dev/ttyUSB0 or /dev/serial/by-id/...;\n"
    "                   on Windows any COMn; or by the adapter, wherever it is\n"
    "                   plugged in: usb:SERIAL (its USB serial number),\n"
    "                   usb:VID:PID (refused when several fit), socket:PATH (the\n"
    "                   USB socket: 1-2.3 on Linux, the location path on Windows);\n"
    "                   fwdl ports shows what names each port\n"
    "  -y, --yes        answer OK to the instructions, for unattended runs\n"
    "  --flow MODE      who keeps XON/XOFF: kernel (the driver or the adapter),\n"
    "                   program, or auto (by the port's driver; the default)\n"
    "  --no-check       hex: send the file as the window would, without checking\n"
    "                   every record first\n"
    "  --trust KEY.pub  send (or pass) the file only with a good signature FILE.sig\n"
    "                   beside it by this key (a PEM public key, ECDSA P-256, as\n"
    "                   openssl ec -pubout writes it); may be given more than once.\n"
    "                   The file is read once: the bytes checked are the bytes sent\n"
    "  --record TARGET  when the run ends, append one JSON line about it to a file,\n"
    "                   or add its row to a database: odbc:DSN=NAME or\n"
    "                   odbc:Driver=...;Server=...;Uid=...;Pwd=... (table fwdl_runs);\n"
    "                   may be given more than once\n"
    "  --spool FILE     where records wait for their database (by default\n"
    "                   $XDG_STATE_HOME/fwdl/spool.jsonl, %LOCALAPPDATA%\\fwdl\\ on\n"
    "                   Windows)\n"
    "  --serial TEXT    the instrument's label, up to 64 characters, for the record\n"
    "  --json           progress and events as JSON Lines on standard output; the\n"
    "                   text for a person goes to standard error; with ports,\n"
    "                   the list as one JSON object\n"
    "\n"
    "The instructions are shown as the window shows them; Enter answers OK,\n"
    "\"c\" and Enter cancels. Ctrl-C aborts the search for the HEX loader and\n"
    "otherwise ends the run; the port is closed.\n"
    "\n"
    "Exit codes, by the outcome of the run:\n";
// After the table of exit codes.
const char kDoctorCodes[] =
    "fwdl doctor: 0 when every check holds, 1 when one does not.\n"
    "fwdl loopcheck: 0 when a flow mode held, 1 when neither did, 4 when a port\n"
    "cannot be used.\n";

int Usage(const std::string& problem) {
  std::cerr << "fwdl: " << problem << "\n" << kHelp << fwdl::console::ExitCodeHelp() << kDoctorCodes;
  return static_cast<int>(ExitCode::kUsage);
}

struct Request {
  std::string command, port, file;
  std::string port_b;  // loopcheck: the port that plays the instrument; `file` is port A
  bool yes = false, json = false, check = true;
  std::optional<fwdl::FlowMode> flow;  // nothing: by the driver, unless FWDL_FLOW says
  bool flow_auto = false;              // --flow auto: by the driver, whatever FWDL_FLOW says
  std::vector<std::string> records;  // --record, each a file or odbc:...
  std::optional<std::string> serial, spool;
  std::optional<fwdl::console::FileKind> kind;
  std::vector<std::string> trust;  // --trust: the key files
};

// What a run leaves for its record and its last JSON event.
struct Ran {
  Outcome outcome = Outcome::kFileUnreadable;
  std::string device, instrument_text;
  fwdl::SerialDevice adapter;  // as it was at the opening; empty when the port did not open
  std::string remedy;  // for a port that did not open, where the system tells one
  std::uint64_t bytes_written = 0;
  fwdl::FlowMode flow = fwdl::FlowMode::kKernel;
};

// One download: the port chosen, then the procedure's button, as a user at
// the window would do it.
// `bytes`: the file read once and checked (--trust), which the procedure sends.
Ran Download(const Request& request, const fwdl::PortOptions& environment,
             const fwdl::console::PortChoice& port, fwdl::console::JsonEvents* json,
             const std::vector<std::uint8_t>* bytes) {
  Ran ran;
  fwdl::FirmwareFile file;  // as a file dialog would, offer only a file that opens
  if (!bytes && !file.Open(request.file)) {
    std::cerr << "fwdl: " << request.file << ": cannot be read as a firmware file\n";
    return ran;
  }
  file.Close();
  if (request.command == "hex" && request.check) {
    const auto error =
        bytes ? fwdl::console::HexTextError({reinterpret_cast<const char*>(bytes->data()), bytes->size()})
              : fwdl::console::HexFileError(request.file);
    if (error) {
      std::cerr << "fwdl: " << request.file << ": " << *error
                << " (fwdl check shows the file; --no-check sends it as it is)\n";
      ran.outcome = Outcome::kFileInvalid;
      return ran;
    }
  }
  if (port.name.empty()) {  // a selector that names no port, or several
    std::cerr << "fwdl: " << port.problem << '\n';
    if (json) json->Notice(port.problem);
    ran.outcome = Outcome::kPortUnusable;
    return ran;
  }
  fwdl::console::CatchInterrupts();

  fwdl::PortOptions options = environment;
  if (request.flow_auto) options.flow.reset();
  if (request.flow) {
    options.flow = request.flow;
    options.flow_why = std::string("--flow ") + fwdl::FlowModeName(*request.flow);
  }
  fwdl::SystemSerialPorts ports(options);
  const std::string& name = port.name;
  ran.device = ports.DeviceOf(name);
  fwdl::console::ConsoleWindow window(
      ports, {request.file, request.yes, !json && fwdl::console::StdoutIsTerminal(), json, bytes},
      json ? std::cerr : std::cout);
  fwdl::Core& core = window.core();
  ran.outcome = Outcome::kPortUnusable;
  if (core.SelectPort(name)) {
    ran.outcome = request.command == "hex" ? core.Button1Click() : core.Button3Click();
  } else {
    ran.remedy = core.link().OpenError().remedy;
  }
  ran.flow = core.link().Flow();
  ran.adapter = core.link().Adapter();
  ran.bytes_written = core.link().BytesWritten();
  ran.instrument_text = core.instrument_text();
  if (!window.closed()) core.Exit1Click();
  return ran;
}

// Parses the command line; a usage problem, or nothing.
std::optional<std::string> Parse(int argc, char** argv, Request& r) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        return arg.substr(eq + 1);
      }
      if (i + 1 == argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    const std::string option = arg.substr(0, arg.find('='));
    if (option == "-p" || option == "--port") {
      const auto v = value();
      if (!v || v->empty() || (*v)[0] == '-') return arg + " needs a port";
      r.port = *v;
    } else if (arg == "-y" || arg == "--yes") {
      r.yes = true;
    } else if (arg == "--json") {
      r.json = true;
    } else if (arg == "--no-check") {
      r.check = false;
    } else if (option == "--flow") {
      const auto v = value();
      r.flow.reset();
      r.flow_auto = v == "auto";
      if (v == "kernel") {
        r.flow = fwdl::FlowMode::kKernel;
      } else if (v == "program") {
        r.flow = fwdl::FlowMode::kProgram;
      } else if (v == "auto") {
      } else {
        return "--flow takes kernel, program or auto";
      }
    } else if (option == "--record") {
      const auto v = value();
      if (!v || v->empty()) return "--record needs a file or odbc:CONNECTION";
      r.records.push_back(*v);
    } else if (option == "--spool") {
      r.spool = value();
      if (!r.spool || r.spool->empty()) return "--spool needs a file";
    } else if (option == "--serial") {
      r.serial = value();
      if (!r.serial) return "--serial needs a text";
      if (const auto problem = fwdl::console::SerialLabelProblem(*r.serial)) {
        return "--serial: " + *problem;
      }
    } else if (option == "--trust") {
      const auto v = value();
      if (!v || v->empty()) return "--trust needs a key file";
      r.trust.push_back(*v);
    } else if (option == "--kind") {
      const auto v = value();
      r.kind = v ? fwdl::console::ParseFileKind(*v) : std::nullopt;
      if (!r.kind) return "--kind takes hex or dvb";
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (r.command.empty()) {
      r.command = arg;
    } else if (r.file.empty()) {
      r.file = arg;
    } else if (r.command == "loopcheck" && r.port_b.empty()) {
      r.port_b = arg;
    } else {
      return "one file only";
    }
  }
  return std::nullopt;
}

// The firmware file's size and SHA-256, for the record and the start event:
// of the bytes read and checked, where the file was read once.
void Measure(const std::string& path, const fwdl::Release* release,
             fwdl::console::RunRecord& record) {
  if (release && release->check != fwdl::ReleaseCheck::kUnreadable) {
    record.firmware_size = release->bytes.size();
    fwdl::Sha256 digest;
    digest.Update(release->bytes.data(), release->bytes.size());
    record.firmware_sha256 = digest.Finish();
    return;
  }
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (!error) record.firmware_size = size;
  record.firmware_sha256 = fwdl::Sha256OfFile(path);
}

// Where the run's record goes: a file opened, or a database checked.
struct RecordTo {
  fwdl::console::RecordTarget target;
  std::unique_ptr<fwdl::console::AppendFile> file;
  std::unique_ptr<fwdl::console::OdbcStore> store;  // connected at the start, where it could be
};

// Opens every file and reaches every database before the run. A file that
// cannot be written, a driver or DSN that does not exist, or a wrong
// password fails the run before any port is touched; a database out of
// reach does not: the record will wait in the spool.
std::optional<int> OpenRecords(const Request& request, std::vector<RecordTo>& to,
                               std::optional<fwdl::console::Spool>& spool) {
  const auto usage = static_cast<int>(ExitCode::kUsage);
  for (const std::string& given : request.records) {
    RecordTo r{fwdl::console::ParseRecordTarget(given), nullptr, nullptr};
    if (!r.target.odbc) {
      r.file = std::make_unique<fwdl::console::AppendFile>();
      if (const auto why = r.file->Open(given)) {
        std::cerr << "fwdl: --record " << given << ": " << *why << '\n';
        return usage;
      }
    } else {
      if (!spool) {
        spool.emplace(request.spool.value_or(fwdl::console::DefaultSpoolPath()));
        if (const auto why = spool->Check()) {
          std::cerr << "fwdl: the spool " << spool->path() << ": " << *why << '\n';
          return usage;
        }
      }
      r.store = std::make_unique<fwdl::console::OdbcStore>();
      if (const auto why = r.store->Open(r.target.connection, fwdl::console::kDatabaseTimeoutS)) {
        std::cerr << "fwdl: --record " << r.target.shown << ": " << *why;
        if (r.store->ConfigurationFault()) {
          std::cerr << '\n';
          return usage;
        }
        std::cerr << "; the record will wait in " << spool->path() << '\n';
        r.store.reset();
      }
    }
    to.push_back(std::move(r));
  }
  return std::nullopt;
}

// Writes the record to every target: a file at once; a database through
// the spool, telling what waits.
void WriteRecords(const std::string& line, std::vector<RecordTo>& to,
                  const std::optional<fwdl::console::Spool>& spool,
                  fwdl::console::JsonEvents* json) {
  for (RecordTo& r : to) {
    if (r.file) {
      if (const auto why = r.file->Append(line)) {
        std::cerr << "fwdl: --record " << r.target.given << ": " << *why << '\n';
      }
      continue;
    }
    std::optional<std::string> problem;
    std::size_t waiting = 0;
    if (const auto why = spool->Add(r.target.shown, line)) {
      // No spool: straight to the database, the only chance left.
      std::cerr << "fwdl: the spool " << spool->path() << ": " << *why << '\n';
      fwdl::console::OdbcStore store;
      problem = store.Open(r.target.connection, fwdl::console::kDatabaseTimeoutS);
      if (!problem) problem = store.Add(fwdl::console::Record::parse(line));
      if (problem) {
        std::cerr << "fwdl: --record " << r.target.shown << ": " << *problem
                  << "; this run's record is lost for it\n";
      }
      continue;
    }
    const auto synced = fwdl::console::DeliverSpool(*spool, r.target, std::move(r.store));
    problem = synced.problem;
    waiting = synced.waiting;
    if (waiting > 0) {
      const std::string text = r.target.shown + ": " + problem.value_or("not delivered") +
                               "; the record waits in " + spool->path() + ", " +
                               std::to_string(waiting) + (waiting == 1 ? " record waits" : " records wait") +
                               " (fwdl records sync delivers them)";
      std::cerr << "fwdl: " << text << '\n';
      if (json) json->Notice(text);
    }
  }
}

int Run(const Request& request, const fwdl::PortOptions& options) {
  using Clock = std::chrono::steady_clock;
  std::vector<RecordTo> record_to;
  std::optional<fwdl::console::Spool> spool;
  if (const auto refused = OpenRecords(request, record_to, spool)) return *refused;
  fwdl::console::RunRecord record;
  record.run_id = fwdl::console::NewRunId();
  record.start = std::chrono::system_clock::now();
  const auto started = Clock::now();
  record.version = FWDL_VERSION;
  record.procedure = request.command;
  record.port = request.port;
  record.firmware_path = request.file;
  record.serial = request.serial;
  // With --trust the file is read here, once, and checked before anything
  // else happens; the procedure sends these bytes.
  std::optional<fwdl::Release> release;
  if (!request.trust.empty()) {
    release = fwdl::ReadRelease(request.file, fwdl::ReadTrustedKeys(request.trust));
    if (release->check == fwdl::ReleaseCheck::kGood) record.firmware_signed_by = release->signed_by;
  }
  if (!request.records.empty() || request.json) Measure(request.file, release ? &*release : nullptr, record);

  fwdl::console::JsonEvents json_events(std::cout);
  fwdl::console::JsonEvents* json = request.json ? &json_events : nullptr;
  const fwdl::console::PortChoice port = fwdl::console::ChoosePort(request.port, options.places);
  if (json) {
    const std::string device = port.name.empty() ? "" : fwdl::PortDevice(port.name, options.places);
    json->Start({request.command, request.port, device, request.file, FWDL_VERSION,
                 fwdl::console::UtcTimestamp(record.start), record.firmware_size,
                 record.firmware_sha256});
  }
  Ran ran;
  if (release && release->check != fwdl::ReleaseCheck::kGood) {
    // Refused before any port is opened and any instruction shown.
    const std::string why = release->check == fwdl::ReleaseCheck::kUnreadable
                                ? "cannot be read as a firmware file"
                                : "not signed by a trusted key: " + release->why;
    std::cerr << "fwdl: " << request.file << ": " << why << '\n';
    if (json) json->Notice(why);
    ran.outcome = release->check == fwdl::ReleaseCheck::kUnreadable ? Outcome::kFileUnreadable
                                                                    : Outcome::kFileUntrusted;
  } else {
    ran = Download(request, options, port, json, release ? &release->bytes : nullptr);
  }
  const int code = static_cast<int>(fwdl::console::ExitCodeOf(ran.outcome));
  if (ran.outcome != Outcome::kSuccess) {
    std::cerr << "fwdl: " << fwdl::console::Describe(ran.outcome) << " (exit code " << code
              << ")\n";
  }
  if (!record_to.empty()) {
    record.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    record.host = fwdl::console::HostName();
    record.device = ran.device;
    // The adapter, where the system tells it: its driver, USB ids and serial
    // number, as read at the opening, for a pulled cable has taken it from
    // the system by now.
    const fwdl::SerialDevice adapter =
        ran.adapter.device.empty() ? fwdl::DescribeDevice(ran.device, options.places) : ran.adapter;
    auto known = [](const std::string& text) {
      return text.empty() ? std::nullopt : std::optional<std::string>(text);
    };
    record.adapter = {known(adapter.driver), known(adapter.usb_id), known(adapter.serial)};
    record.flow_control = fwdl::FlowModeName(ran.flow);
    record.bytes_written = ran.bytes_written;
    record.outcome = fwdl::OutcomeName(ran.outcome);
    record.exit_code = code;
    record.instrument_text = ran.instrument_text;
    WriteRecords(fwdl::console::RecordLine(record), record_to, spool, json);
  }
  // The end event last: once it is out, the record is written or waits.
  if (json) {
    json->End({fwdl::OutcomeName(ran.outcome), code, ran.instrument_text, ran.bytes_written,
               fwdl::FlowModeName(ran.flow), ran.remedy, record.run_id});
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // The environment, read here once; nothing below reads it again.
  const fwdl::PortOptions options = fwdl::PortOptionsFromEnvironment();
  if (argc > 1 && std::string(argv[1]) == "station") {
    return fwdl::station::StationMain(argc, argv, FWDL_VERSION, options.places);
  }
  if (argc > 1 && std::string(argv[1]) == "records") {
    try {
      return fwdl::console::RecordsMain(argc, argv);
    } catch (const std::exception& error) {
      std::cerr << "fwdl records: " << error.what() << '\n';
      return static_cast<int>(ExitCode::kFailed);
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kHelp << fwdl::console::ExitCodeHelp() << kDoctorCodes;
      return 0;
    }
    if (arg == "-V" || arg == "--version") {
      std::cout << "fwdl (Firmware Downloader) " FWDL_VERSION "\n";
      return 0;
    }
  }
  Request request;
  if (const auto problem = Parse(argc, argv, request)) return Usage(*problem);
  if (request.command == "ports") {
    return request.file.empty() ? fwdl::console::PrintPorts(request.json, options.places, std::cout)
                                : Usage("ports takes no file");
  }
  if (request.command == "doctor") {
    if (!request.file.empty() && !request.port.empty()) return Usage("doctor takes one port");
    return fwdl::console::Doctor(request.port.empty() ? request.file : request.port, options,
                                 std::cout);
  }
  if (request.command == "loopcheck") {
    if (request.port_b.empty()) return Usage("loopcheck takes two ports");
    const fwdl::console::PortChoice a = fwdl::console::ChoosePort(request.file, options.places);
    const fwdl::console::PortChoice b = fwdl::console::ChoosePort(request.port_b, options.places);
    for (const auto* refused : {&a, &b}) {
      if (refused->name.empty()) {
        std::cerr << "fwdl: " << refused->problem << '\n';
        return static_cast<int>(ExitCode::kPortUnusable);
      }
    }
    return fwdl::console::LoopCheck(a.name, b.name, options.places, std::cout);
  }
  if (request.command == "check") {
    if (request.file.empty()) return Usage("no FILE");
    if (request.trust.empty()) {
      return fwdl::console::RunCheck(request.file, request.kind, std::cout, std::cerr);
    }
    const fwdl::TrustedKeys trusted = fwdl::ReadTrustedKeys(request.trust);
    return fwdl::console::RunCheck(request.file, request.kind, std::cout, std::cerr, &trusted);
  }
  if (request.command != "hex" && request.command != "dvb") {
    return Usage(request.command.empty() ? "no command" : "unknown command " + request.command);
  }
  if (request.port.empty()) return Usage("no --port");
  if (request.file.empty()) return Usage("no FILE");
  try {
    return Run(request, options);
  } catch (const std::exception& error) {
    std::cerr << "fwdl: " << error.what() << '\n';
  }
  return static_cast<int>(ExitCode::kFailed);
}
