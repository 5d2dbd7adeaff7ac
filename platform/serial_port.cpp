// SystemSerialPorts on every system: a handle is one open port, its
// backend's native port and, where the program keeps XON/XOFF, the flow
// writer over it. The backends give only OpenNativePort (raw_port.h).
#include <optional>

#include "flow_writer.h"
#include "raw_port.h"
#include "serial_port.h"

namespace fwdl {
namespace {

// 57600 baud, 10 bits a byte, until the line settings say otherwise.
constexpr std::uint32_t kLineBytesPerSecond = 5760;

struct OpenPort {
  std::unique_ptr<NativePort> native;
  std::unique_ptr<RawPort> model;  // between the writers and the native port, if any
  RawPort* io = nullptr;           // what the writers use: the model, or the native port
  std::optional<FlowWriter> program;  // where the program keeps XON/XOFF
};

OpenPort& PortOf(PortHandle port) { return *reinterpret_cast<OpenPort*>(port); }

}  // namespace

OpenResult SystemSerialPorts::Open(const std::string& name) {
  PortError error;
  SerialDevice device;
  std::unique_ptr<NativePort> native = OpenNativePort(name, error, device);
  if (!native) return OpenResult::Refused(std::move(error));

  auto port = std::make_unique<OpenPort>();
  port->native = std::move(native);
  port->io = port->native.get();
  if (options_.model) {
    port->model = options_.model(*port->native);
    port->io = port->model.get();
  }
  OpenResult opened = OpenResult::Opened(reinterpret_cast<PortHandle>(port.get()));
  if (options_.flow) {
    opened.flow = *options_.flow;
    opened.flow_why = options_.flow_why;
  } else {
    opened.flow = device.flow;
    opened.flow_why = device.driver.empty() ? "no driver known" : "driver " + device.driver;
  }
  if (opened.flow == FlowMode::kProgram) port->program.emplace(*port->io, kLineBytesPerSecond);
  (void)port.release();  // owned by the handle until Close
  return opened;
}

PortError SystemSerialPorts::GetState(PortHandle port, LineSettings& settings) {
  return PortOf(port).native->GetState(settings);
}

PortError SystemSerialPorts::SetState(PortHandle port, const LineSettings& settings) {
  OpenPort& p = PortOf(port);
  const PortError error = p.native->SetState(settings, !p.program);
  if (!error.failed() && p.program) p.program->SetLineRate(LineBytesPerSecond(settings));
  return error;
}

PortResult SystemSerialPorts::WaitingCount(PortHandle port) {
  OpenPort& p = PortOf(port);
  return p.program ? p.program->Waiting() : p.io->Waiting();
}

PortResult SystemSerialPorts::Read(PortHandle port, void* data, std::uint32_t count) {
  if (count == 0) return {};
  OpenPort& p = PortOf(port);
  return p.program ? p.program->Read(data, count) : p.io->Read(data, count);
}

PortResult SystemSerialPorts::Write(PortHandle port, const void* data, std::uint32_t count,
                                    int wait_ms) {
  OpenPort& p = PortOf(port);
  const auto deadline = p.io->Now() + std::chrono::milliseconds(wait_ms);
  return p.program ? p.program->Write(data, count, deadline) : p.io->Write(data, count, deadline);
}

std::uint32_t SystemSerialPorts::OutputQueued(PortHandle port) {
  // The flow writer keeps nothing back: all that was taken is at the driver.
  return PortOf(port).io->OutputQueued();
}

void SystemSerialPorts::ResumeOutput(PortHandle port) {
  OpenPort& p = PortOf(port);
  if (p.program) {
    p.program->Resume();
  } else {
    p.native->ResumeOutput();
  }
}

void SystemSerialPorts::Close(PortHandle port) { delete &PortOf(port); }

}  // namespace fwdl
