// What the console front end needs from the operating system: waiting for
// the next timer, for a key or for Ctrl-C without spinning, telling a
// terminal from a pipe, and the serial ports present. Implemented once per
// system (console_os_posix.cpp, console_os_win32.cpp); the build picks one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace fwdl::console {

// From now on Ctrl-C (and a request to terminate) is reported by
// Interrupted() and wakes Sleep instead of ending the program. A second one
// ends the program at once with the "interrupted" exit code; the system
// closes the port.
void CatchInterrupts();
// True once an interrupt has come.
bool Interrupted();

bool StdoutIsTerminal();

// Sleeps for up to `ms` milliseconds (no limit when negative), less when an
// interrupt comes or, with `watch_input`, when standard input has something.
void Sleep(int ms, bool watch_input);
// Appends what standard input has waiting, without blocking. False once
// standard input has ended.
bool ReadInput(std::string& text);

// The name to open for the port argument: the argument itself, but on
// Windows a "COMn" above COM9 in the form CreateFileA accepts.
std::string PortName(const std::string& argument);

struct PortInfo {
  std::string device;  // what --port takes
  std::string about;   // what identifies it: names, USB ids, the COMn mapped to it
  SerialDevice facts;  // its driver, USB ids, serial number, socket, flow mode
  std::vector<std::string> com;  // the COMn names that lead there
  std::string problem;           // Windows: its device node's problem and the remedy
};
std::vector<PortInfo> ListPorts(const SystemPlaces& places);

// Fills `out` with bytes from the system's random source (getrandom,
// BCryptGenRandom); false when it gives none.
bool RandomBytes(unsigned char* out, std::size_t count);

}  // namespace fwdl::console
