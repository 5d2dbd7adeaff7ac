// Firmware Downloader: puts new firmware into Vardelo instruments over a
// serial line.
#include <QApplication>
#include <exception>

#include "app/form.h"
#include "main_window.h"
#include "platform/serial_port.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("firmware-downloader"));
  QApplication::setApplicationDisplayName(QString::fromLatin1(fwdl::form::main::kApplicationTitle));
  QApplication::setApplicationVersion(QStringLiteral("1.0.0.0"));
  // The main window ends the program itself, also while About is shown.
  QApplication::setQuitOnLastWindowClosed(false);
  try {
    fwdl::SystemSerialPorts ports;
    TForm1 Form1(ports);
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
