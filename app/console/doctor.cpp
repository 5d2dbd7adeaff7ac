#include "app/console/doctor.h"

#include <algorithm>
#include <ostream>

#include "app/port_options.h"
#include "app/run/exit_codes.h"
#include "app/run/port_selector.h"
#include "serial/serial_link.h"

namespace fwdl::console {
namespace {

// "57600 baud, 8 data bits, no parity, 1 stop bit, XON/XOFF in and out".
std::string Line(const LineSettings& s) {
  std::string text = std::to_string(s.BaudRate) + " baud, " + std::to_string(s.ByteSize) +
                     " data bits, " +
                     (s.Parity == kNoParity ? "no parity" : "parity " + std::to_string(s.Parity)) +
                     ", " + (s.StopBits == kOneStopBit ? "1 stop bit" : "2 stop bits");
  if (s.fInX || s.fOutX) {
    text += std::string(", XON/XOFF ") + (s.fInX && s.fOutX ? "both ways" : s.fInX ? "sent" : "obeyed");
  }
  return text;
}

bool SameLine(const LineSettings& a, const LineSettings& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.fInX == b.fInX && a.fOutX == b.fOutX;
}

}  // namespace

std::vector<Finding> OpenFindings(SerialPorts& ports, const std::string& name,
                                  const std::vector<Finding>& earlier) {
  std::vector<Finding> findings;
  const OpenResult opened = ports.Open(name);
  if (opened.handle == kInvalidPortHandle) {
    std::string text = "cannot open " + name + ": " + opened.error.reason;
    const bool told = std::any_of(earlier.begin(), earlier.end(), [&](const Finding& f) {
      return f.text == opened.error.remedy;
    });
    if (!opened.error.remedy.empty() && !told) text += "\n" + opened.error.remedy;
    findings.push_back({false, "open", text});
    return findings;
  }
  findings.push_back({true, "open", name + " opened for the program alone, XON/XOFF kept by the " +
                                        FlowModeName(opened.flow) + " (" + opened.flow_why + ")"});
  // As a port choice sets the line up: over what the port reports.
  LineSettings wanted;
  PortError error = ports.GetState(opened.handle, wanted);
  WriteLineSettings(wanted);
  if (!error.failed()) error = ports.SetState(opened.handle, wanted);
  LineSettings read_back;
  if (!error.failed()) error = ports.GetState(opened.handle, read_back);
  // Where the program keeps XON/XOFF, the driver is told not to obey XOFF.
  wanted.fOutX = wanted.fOutX && opened.flow == FlowMode::kKernel;
  if (error.failed()) {
    findings.push_back({false, "line settings", "cannot set or read them: " + error.reason});
  } else if (!SameLine(wanted, read_back)) {
    findings.push_back({false, "line settings",
                        "set " + Line(wanted) + ", but the port reports " + Line(read_back) +
                            ": its driver does not take the program's line; try another adapter"});
  } else {
    findings.push_back({true, "line settings", Line(read_back) + ", read back as set"});
  }
  ports.Close(opened.handle);
  return findings;
}

int PrintFindings(const std::vector<Finding>& findings, std::ostream& out) {
  std::size_t problems = 0;
  for (const Finding& f : findings) {
    problems += f.ok ? 0 : 1;
    std::string text = f.text;
    // A finding of several lines: the later ones indented below its text.
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
      text.insert(at + 1, 9, ' ');
    }
    out << (f.ok ? "ok       " : "problem  ") << f.topic << ": " << text << '\n';
  }
  if (problems == 0) {
    out << "Every check holds.\n";
  } else {
    out << problems << (problems == 1 ? " problem" : " problems") << " found.\n";
  }
  return static_cast<int>(problems == 0 ? ExitCode::kSuccess : ExitCode::kFailed);
}

int Doctor(const std::string& port, std::ostream& out) {
  std::vector<Finding> findings;
  std::string name, device;
  if (!port.empty()) {
    const PortChoice choice = ChoosePort(port);
    if (choice.name.empty()) {
      findings.push_back({false, "port", choice.problem});
    } else {
      name = choice.name;
      device = SystemSerialPorts().DeviceOf(name);
    }
  }
  const std::vector<Finding> system = SystemFindings(name, device);
  findings.insert(findings.end(), system.begin(), system.end());
  const bool there = std::any_of(findings.begin(), findings.end(),
                                 [](const Finding& f) { return f.topic == "port" && f.ok; });
  if (!name.empty() && there) {
    SystemSerialPorts ports(PortOptionsFromEnvironment());
    const std::vector<Finding> opening = OpenFindings(ports, name, findings);
    findings.insert(findings.end(), opening.begin(), opening.end());
  }
  return PrintFindings(findings, out);
}

}  // namespace fwdl::console
