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

namespace {

PortResult Gone(std::uint32_t count) { return {count, {PortError::Kind::kGone, kFakeGone}}; }

}  // namespace

OpenResult FakePorts::Open(const std::string& name) {
  FakeDevice& d = devices_[name];
  if (d.throw_on_open) throw std::runtime_error("fake port: " + name + " broke");
  if (!d.exists) return OpenResult::Refused({PortError::Kind::kNoSuchDevice, kFakeNoDevice, d.remedy});
  if (d.open) return OpenResult::Refused({PortError::Kind::kBusy, kFakeBusy, d.remedy});
  d.open = true;
  ++d.opens;
  handles_[next_handle_] = name;
  return OpenResult::Opened(next_handle_++);
}

PortError FakePorts::GetState(PortHandle port, LineSettings& settings) {
  FakeDevice& d = At(port);
  if (!d.get_state_ok) return {PortError::Kind::kOther, kFakeRefused};
  settings = d.port_settings;
  return {};
}

PortError FakePorts::SetState(PortHandle port, const LineSettings& settings) {
  FakeDevice& d = At(port);
  d.applied = settings;
  if (!d.set_state_ok) return {PortError::Kind::kOther, kFakeRefused};
  return {};
}

PortResult FakePorts::WaitingCount(PortHandle port) {
  FakeDevice& d = At(port);
  ++d.polls;
  if (d.on_poll) d.on_poll();
  if (d.gone) return Gone(0);
  Collect(d);
  return {d.reported_waiting ? *d.reported_waiting : static_cast<std::uint32_t>(d.waiting.size()),
          {}};
}

PortResult FakePorts::Read(PortHandle port, void* data, std::uint32_t count) {
  FakeDevice& d = At(port);
  if (d.gone) return Gone(0);
  const std::size_t n = std::min<std::size_t>(count, d.waiting.size());
  std::memcpy(data, d.waiting.data(), n);
  d.waiting.erase(0, n);
  return {static_cast<std::uint32_t>(n) + d.read_overrun, {}};
}

PortResult FakePorts::Write(PortHandle port, const void* data, std::uint32_t count, int wait_ms) {
  FakeDevice& d = At(port);
  ++d.write_calls;
  const auto* bytes = static_cast<const char*>(data);
  PortResult result;
  const std::uint32_t taken = d.most_per_write ? std::min(count, *d.most_per_write) : count;
  for (; result.count < taken; ++result.count) {
    if (d.lost_after && d.written.size() >= *d.lost_after) d.gone = true;
    if (d.gone) return Gone(result.count);
    if (d.xoff_after && d.written.size() >= *d.xoff_after) {
      d.xoff = true;
      d.xoff_after.reset();
    }
    if (d.xoff) {
      if (clock_.Now() > 24LL * 3600 * 1000) throw std::runtime_error("fake port: held for a day");
      clock_.SleepUntil(clock_.Now() + wait_ms);
      break;
    }
    const char byte = bytes[result.count];
    d.written += byte;
    if (d.bytes_per_ms > 0 && d.written.size() % d.bytes_per_ms == 0) {
      clock_.SleepUntil(clock_.Now() + 1);
    }
    if (d.instrument) d.instrument->Receive(reinterpret_cast<const std::uint8_t*>(&byte), 1, clock_.Now());
    if (d.on_byte) d.on_byte(byte);
  }
  return result;
}

void FakePorts::ResumeOutput(PortHandle port) {
  FakeDevice& d = At(port);
  ++d.resumes;
  if (!d.xoff_again) d.xoff = false;
}

void FakePorts::Close(PortHandle port) {
  FakeDevice& d = At(port);
  d.open = false;
  ++d.closes;
  handles_.erase(port);
}

}  // namespace fwdl::testing
