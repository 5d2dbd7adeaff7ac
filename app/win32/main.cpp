// Firmware Downloader: puts new firmware into Vardelo instruments over a
// serial line. The Windows program, on the plain Win32 API.
#include <windows.h>

#include <exception>

#include "main_window.h"
#include "app/port_options.h"
#include "taskbar.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  fwdl::win32::JoinTaskbarButton();
  try {
    const fwdl::PortOptions options = fwdl::PortOptionsFromEnvironment();
    fwdl::SystemSerialPorts ports(options);
    TForm1 Form1(ports, options.places);
    fwdl::win32::PresentMainWindow(Form1.Form1);
    fwdl::ReleasePortOnTermination();  // as on every system; Windows sends no signals
    return Form1.Run();
  } catch (const std::exception& error) {
    ShowStandardError(error.what());
  } catch (...) {
    ShowStandardError("Unknown error.");
  }
  return 1;
}
