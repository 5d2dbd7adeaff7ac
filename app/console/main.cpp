// fwdl: Firmware Downloader on the command line, for scripts, production
// lines and several instruments at once. The same procedures as the window,
// wired the same way, with the port and the file from the command line.
#include <exception>
#include <iostream>
#include <string>

#include "app/console/console_os.h"
#include "app/console/console_window.h"
#include "app/console/outcome.h"
#include "download/firmware_file.h"

namespace {

using fwdl::Outcome;
using fwdl::console::ExitCode;

const char kHelp[] =
    "usage: fwdl hex --port PORT [--yes] FILE   send a Vardelo HEX firmware file\n"
    "       fwdl dvb --port PORT [--yes] FILE   send a DVB firmware image\n"
    "       fwdl ports                          list the serial ports present\n"
    "       fwdl --help | --version\n"
    "\n"
    "  -p, --port PORT  COM1..COM8 (on Linux /dev/ttyS0../dev/ttyS7, or the\n"
    "                   device named by FWDL_COMn), or a device path such as\n"
    "                   /dev/ttyUSB0 or /dev/serial/by-id/...; on Windows any COMn\n"
    "  -y, --yes        answer OK to the instructions, for unattended runs\n"
    "\n"
    "The instructions are shown as the window shows them; Enter answers OK,\n"
    "\"c\" and Enter cancels. Ctrl-C aborts the search for the HEX loader and\n"
    "otherwise ends the run; the port is closed.\n"
    "\n"
    "Exit codes, by the outcome of the run:\n"
    "    0  success          the loader's verdict, or \"Download comleted.\"\n"
    "    1  error_verdict    the loader's verdict line begins with \"?\"\n"
    "       download_failed  \"Error while downloading.\", \"Download failed.\"\n"
    "       bound_error      the instrument sent more than the program can hold\n"
    "    2                   usage error\n"
    "    3  no_contact       \"No contact with Instrument...\"\n"
    "       lost_contact     \"Lost contact with Instrument.\"\n"
    "    4  port_unusable    the port cannot be opened\n"
    "       port_lost        the device went during the run (unplugged)\n"
    "       no_port          no port open when the download began\n"
    "    5  file_unreadable  the file cannot be read\n"
    "       file_empty       an empty DVB image\n"
    "       file_too_large   a DVB image over 4 GiB\n"
    "       file_not_hex     \"Not a valid Instrument-firmware file.\"\n"
    "  130  search_aborted   Ctrl-C during the HEX search (\"Abort Search...\")\n"
    "       cancelled        the instructions cancelled\n"
    "       exited           Ctrl-C at any other time\n";

int Usage(const std::string& problem) {
  std::cerr << "fwdl: " << problem << "\n" << kHelp;
  return static_cast<int>(ExitCode::kUsage);
}

int ListPorts() {
  for (const auto& port : fwdl::console::ListPorts()) {
    std::cout << port.device << (port.about.empty() ? "" : "  ") << port.about << '\n';
  }
  return 0;
}

// One download: the port chosen, then the procedure's button, as a user at
// the window would do it.
Outcome Download(bool hex_file, const std::string& port, const std::string& file, bool yes) {
  fwdl::FirmwareFile check;  // as a file dialog would, offer only a file that opens
  if (!check.Open(file)) {
    std::cerr << "fwdl: " << file << ": cannot be read as a firmware file\n";
    return Outcome::kFileUnreadable;
  }
  check.Close();
  fwdl::console::CatchInterrupts();

  fwdl::SystemSerialPorts ports;
  fwdl::console::ConsoleWindow window(ports, {file, yes, fwdl::console::StdoutIsTerminal()},
                                      std::cout);
  fwdl::Core& core = window.core();
  Outcome outcome = Outcome::kPortUnusable;
  if (core.SelectPort(fwdl::console::PortName(port))) {
    outcome = hex_file ? core.Button1Click() : core.Button3Click();
  }
  if (!window.closed()) core.Exit1Click();
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command, port, file;
  bool yes = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kHelp;
      return 0;
    } else if (arg == "-V" || arg == "--version") {
      std::cout << "fwdl (Firmware Downloader) " FWDL_VERSION "\n";
      return 0;
    } else if (arg == "-y" || arg == "--yes") {
      yes = true;
    } else if (arg == "-p" || arg == "--port") {
      if (++i == argc || argv[i][0] == '-') return Usage(arg + " needs a port");
      port = argv[i];
    } else if (arg.rfind("--port=", 0) == 0) {
      port = arg.substr(7);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (command.empty()) {
      command = arg;
    } else if (file.empty()) {
      file = arg;
    } else {
      return Usage("one file only");
    }
  }
  if (command == "ports") return file.empty() ? ListPorts() : Usage("ports takes no file");
  if (command != "hex" && command != "dvb") {
    return Usage(command.empty() ? "no command" : "unknown command " + command);
  }
  if (port.empty()) return Usage("no --port");
  if (file.empty()) return Usage("no FILE");
  try {
    const Outcome outcome = Download(command == "hex", port, file, yes);
    const int code = static_cast<int>(fwdl::console::ExitCodeOf(outcome));
    if (outcome != Outcome::kSuccess) {
      std::cerr << "fwdl: " << fwdl::console::Describe(outcome) << " (exit code " << code << ")\n";
    }
    return code;
  } catch (const std::exception& error) {
    std::cerr << "fwdl: " << error.what() << '\n';
  }
  return static_cast<int>(ExitCode::kFailed);
}
