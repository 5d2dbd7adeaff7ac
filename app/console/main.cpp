// fwdl: Firmware Downloader on the command line, for scripts, production
// lines and several instruments at once. The same procedures as the window,
// wired the same way, with the port and the file from the command line.
#include <exception>
#include <iostream>
#include <string>

#include "app/console/console_os.h"
#include "app/console/console_window.h"
#include "app/console/outcome.h"
#include "download/dvb_download.h"
#include "download/firmware_file.h"
#include "download/hex_download.h"
#include "serial/serial_link.h"

namespace {

using fwdl::console::Outcome;

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
    "Exit codes:\n"
    "    0  success: the loader's verdict, or \"Download comleted.\"\n"
    "    1  download failed: the loader's error verdict, \"Error while downloading.\",\n"
    "       \"Download failed.\"\n"
    "    2  usage error\n"
    "    3  no contact with the instrument\n"
    "    4  the port cannot be used, or was lost\n"
    "    5  the file is refused: cannot be read, or not a HEX firmware file\n"
    "  130  interrupted: Ctrl-C, or the instructions cancelled\n";

int Usage(const std::string& problem) {
  std::cerr << "fwdl: " << problem << "\n" << kHelp;
  return static_cast<int>(Outcome::kUsage);
}

int ListPorts() {
  for (const auto& port : fwdl::console::ListPorts()) {
    std::cout << port.device << (port.about.empty() ? "" : "  ") << port.about << '\n';
  }
  return 0;
}

// One download, wired as the main window wires it.
Outcome Download(bool hex_file, const std::string& port, const std::string& file, bool yes) {
  fwdl::FirmwareFile check;  // as a file dialog would, offer only a file that opens
  if (!check.Open(file)) {
    std::cerr << "fwdl: " << file << ": cannot be read as a firmware file\n";
    return Outcome::kFileRefused;
  }
  check.Close();
  fwdl::console::CatchInterrupts();

  fwdl::Progress progress;
  fwdl::console::ConsoleWindow window(progress, {file, yes, fwdl::console::StdoutIsTerminal()},
                                      std::cout);
  fwdl::SystemSerialPorts ports;
  fwdl::SerialLink link(window, ports);
  fwdl::HexDownload hex(link, progress);
  fwdl::DvbDownload dvb(link, progress);
  window.on_tick[0] = [&] { link.Timer1Timer(); };
  window.on_tick[1] = [&] { link.Timer2Timer(); };
  window.on_tick[2] = [&] { hex.Timer3Timer(); };
  // Ctrl-C: "Abort Search..." while the HEX search runs, otherwise Exit.
  window.on_interrupt = [&] {
    if (window.ButtonVisible(fwdl::Button::Button2)) {
      hex.Button2Click();
    } else {
      link.Exit1Click();
    }
  };

  link.SelectPort(fwdl::console::PortName(port));
  if (link.PortOpen()) {
    if (hex_file) {
      hex.Button1Click();
    } else {
      dvb.Button3Click();
    }
  }
  const fwdl::console::RunEnd end{window.boxes(), window.interrupted(), window.closed(),
                                  link.PortOpen(), link.PortLost()};
  if (!window.closed()) link.Exit1Click();
  return OutcomeOf(end);
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
    if (outcome != Outcome::kSuccess) {
      std::cerr << "fwdl: " << Describe(outcome) << " (exit code " << static_cast<int>(outcome)
                << ")\n";
    }
    return static_cast<int>(outcome);
  } catch (const std::exception& error) {
    std::cerr << "fwdl: " << error.what() << '\n';
  }
  return static_cast<int>(Outcome::kFailed);
}
