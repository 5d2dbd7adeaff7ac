#include "fake_ports.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace fwdl::testing {

FakeDevice& FakePorts::At(PortHandle port) {
  const auto it = handles_.find(port);
  if (it == handles_.end()) throw std::logic_error("fake port: unknown or closed handle");
  return devices_[it->second];
}

void FakePorts::Collect(FakeDevice& d) {
  if (d.instrument) d.waiting += d.instrument->TakeOutput(clock_.Now());
}

PortHandle FakePorts::Open(const std::string& name) {
  FakeDevice& d = devices_[name];
  if (d.throw_on_open) throw std::runtime_error("fake port: " + name + " broke");
  if (!d.exists || d.open) return kInvalidPortHandle;
  d.open = true;
  ++d.opens;
  handles_[next_handle_] = name;
  return next_handle_++;
}

bool FakePorts::GetState(PortHandle port, LineSettings& settings) {
  FakeDevice& d = At(port);
  if (!d.get_state_ok) return false;
  settings = d.port_settings;
  return true;
}

bool FakePorts::SetState(PortHandle port, const LineSettings& settings) {
  FakeDevice& d = At(port);
  d.applied = settings;
  return d.set_state_ok;
}

std::uint32_t FakePorts::WaitingCount(PortHandle port) {
  FakeDevice& d = At(port);
  Collect(d);
  return d.reported_waiting ? *d.reported_waiting : static_cast<std::uint32_t>(d.waiting.size());
}

std::uint32_t FakePorts::Read(PortHandle port, void* data, std::uint32_t count) {
  FakeDevice& d = At(port);
  const std::size_t n = std::min<std::size_t>(count, d.waiting.size());
  std::memcpy(data, d.waiting.data(), n);
  d.waiting.erase(0, n);
  return static_cast<std::uint32_t>(n) + d.read_overrun;
}

std::uint32_t FakePorts::Write(PortHandle port, const void* data, std::uint32_t count) {
  FakeDevice& d = At(port);
  ++d.write_calls;
  const auto* bytes = static_cast<const char*>(data);
  std::uint32_t taken = 0;
  for (; taken < count; ++taken) {
    if (d.accept_limit && d.written.size() >= *d.accept_limit) break;
    d.written += bytes[taken];
    if (d.instrument) d.instrument->Receive(reinterpret_cast<const std::uint8_t*>(bytes + taken), 1, clock_.Now());
    if (d.on_byte) d.on_byte(bytes[taken]);
  }
  return taken;
}

void FakePorts::Close(PortHandle port) {
  FakeDevice& d = At(port);
  d.open = false;
  ++d.closes;
  handles_.erase(port);
}

}  // namespace fwdl::testing
