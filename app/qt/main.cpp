// Firmware Downloader: puts new firmware into Vardelo instruments over a
// serial line.
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "main_window.h"
#include "app/port_options.h"

namespace {

constexpr char kUsage[] =
    "Usage: firmware-downloader [--help | --version]\n"
    "\n"
    "Puts new firmware into Vardelo instruments over a serial line. Choose the\n"
    "port in the Port menu, then press \"Send Vardelo Firmware\" (*.hex) or\n"
    "\"Send DVB Firmware\" (*.bin) and follow the boxes.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "\"COM 1\" .. \"COM 8\" lead to the serial devices present (on-board UARTs, then\n"
    "USB adapters by their USB port); FWDL_COMn=DEVICE leads COMn to another device,\n"
    "such as FWDL_COM3=/dev/ttyUSB0. FWDL_FLOW=kernel|program chooses who keeps\n"
    "XON/XOFF. The device's group (usually dialout) must include you. See\n"
    "firmware-downloader(1).\n";

// Answers --help and --version and refuses anything else, all before a
// display is needed. Returns the exit code, or -1 to open the window.
int HandleArguments(int argc, char* argv[]) {
  if (argc == 1) return -1;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("firmware-downloader %s\n", FWDL_VERSION);
    return 0;
  }
  std::fprintf(stderr, "firmware-downloader: unknown argument '%s' (see --help)\n", argv[1]);
  return 2;
}

// Qt ends the program with abort() and a core dump when there is no display
// to connect to. While the application starts, Qt's messages are held back;
// a fatal one becomes one plain line and exit code 1.
QStringList held_messages;

void StartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
      std::fprintf(stderr, "firmware-downloader: cannot open the display '%s'\n", display);
    } else {
      std::fputs("firmware-downloader: no display (DISPLAY is not set); start it on a desktop\n",
                 stderr);
    }
    std::_Exit(1);
  }
  held_messages << qFormatLogMessage(type, context, text);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const int code = HandleArguments(argc, argv); code >= 0) return code;
  qInstallMessageHandler(StartupMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  for (const QString& message : held_messages) std::fprintf(stderr, "%s\n", qPrintable(message));
  SetDesktopIdentity();
  // The main window ends the program itself, also while About is shown.
  QApplication::setQuitOnLastWindowClosed(false);
  try {
    const fwdl::PortOptions options = fwdl::PortOptionsFromEnvironment();
    fwdl::SystemSerialPorts ports(options);
    TForm1 Form1(ports, options.places);
    // SIGTERM, SIGINT and SIGHUP close the port before the program ends.
    fwdl::ReleasePortOnTermination();
    Form1.show();
    return QApplication::exec();
  } catch (const std::exception& error) {
    ShowStandardError(QString::fromLocal8Bit(error.what()));
  } catch (...) {
    ShowStandardError(QStringLiteral("Unknown error."));
  }
  return 1;
}
