// fwdl doctor [PORT]: the checks a technician or a support desk runs when
// a port does not appear or will not open, each on its own line, "ok" or
// "problem" with what to do. The system's checks come from the platform
// (SystemFindings: the port is there, who may open it, who holds it,
// ModemManager, who keeps XON/XOFF, the adapters present without a port);
// with PORT the port is then opened as a download opens it and its line
// settings are read back. Without PORT no port is opened: an opening
// switches DTR and RTS, which some devices take as a reset.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/port_remedy.h"
#include "platform/serial_port.h"

namespace fwdl::console {

// Opens `name` with the program's line settings, reads them back and
// closes it again; `earlier` are the findings so far, whose remedies an
// open failure does not repeat.
std::vector<Finding> OpenFindings(SerialPorts& ports, const std::string& name,
                                  const std::vector<Finding>& earlier);

// Prints every finding; exit code 0 when every check holds, 1 when not.
int PrintFindings(const std::vector<Finding>& findings, std::ostream& out);

// The whole doctor on the system's ports; `port` empty: every port present.
int Doctor(const std::string& port, const PortOptions& options, std::ostream& out);

}  // namespace fwdl::console
