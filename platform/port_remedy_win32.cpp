// Windows: the facts behind a port that will not open: the ports Windows
// lists and their device nodes' problems, and the adapters whose node has
// a problem and no port (usb_adapters_win32.cpp).
#include <windows.h>

#include <algorithm>

#include "port_remedy.h"
#include "serial_devices.h"
#include "usb_adapters.h"
#include "windows_ports.h"

namespace fwdl {
namespace {

const WindowsPort* Find(const std::vector<WindowsPort>& ports, const std::string& com) {
  const auto it = std::find_if(ports.begin(), ports.end(), [&](const WindowsPort& p) {
    return _stricmp(p.com.c_str(), com.c_str()) == 0;
  });
  return it == ports.end() ? nullptr : &*it;
}

std::vector<std::string> Names(const std::vector<WindowsPort>& ports) {
  std::vector<std::string> names;
  for (const WindowsPort& p : ports) names.push_back(p.com);
  return names;
}

// "COM5 (Prolific USB-to-Serial Comm Port (COM5)) cannot start (code 10): ...".
std::string ProblemOf(const WindowsPort& port) {
  return port.com + " (" + port.name + ") " + PortProblem(port);
}

}  // namespace

std::string PortRemedy(PortError::Kind kind, const std::string& device,
                       const SystemPlaces& places) {
  const std::string com = ComOf(device);
  if (kind == PortError::Kind::kBusy) return HeldPortRemedy(com);
  if (kind != PortError::Kind::kNoSuchDevice) return {};
  const std::vector<WindowsPort> ports = WindowsPortsPresent();
  std::string remedy;
  if (const WindowsPort* port = Find(ports, com)) {
    if (port->problem != 0) remedy = ProblemOf(*port);
  } else {
    remedy = UnlistedPortRemedy(com, Names(ports));
  }
  const std::string adapters = AdapterLines(places);
  if (!remedy.empty() && !adapters.empty()) remedy += '\n';
  return remedy + adapters;
}

std::vector<Finding> SystemFindings(const std::string& name, const std::string& device,
                                    const SystemPlaces& places) {
  std::vector<Finding> findings;
  const std::vector<WindowsPort> ports = WindowsPortsPresent();
  std::vector<const WindowsPort*> checked;
  if (name.empty()) {
    for (const WindowsPort& port : ports) checked.push_back(&port);
    if (ports.empty()) findings.push_back({false, "ports", UnlistedPortRemedy("COM port", {})});
  } else if (const WindowsPort* port = Find(ports, ComOf(device))) {
    checked.push_back(port);
  } else {
    findings.push_back({false, "port", UnlistedPortRemedy(ComOf(device), Names(ports))});
  }
  for (const WindowsPort* port : checked) {
    if (port->problem != 0) {
      findings.push_back({false, "port", ProblemOf(*port)});
      continue;
    }
    findings.push_back({true, "port", port->com + ": " + PortLine(*port)});
    const SerialDevice d = DescribeWindowsPort(*port);
    findings.push_back({true, "flow control",
                        port->com + ": XON/XOFF kept by the " + FlowModeName(d.flow) + " (" +
                            (d.driver.empty() ? "no driver known" : "driver " + d.driver) + ")"});
  }
  AddAdapterFindings(findings, places);
  return findings;
}

}  // namespace fwdl
