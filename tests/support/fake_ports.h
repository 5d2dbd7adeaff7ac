// Serial ports in memory. Each port name has a device that records what the
// program wrote and holds what waits to be read; a simulated instrument or a
// test's own responder can sit on the other end.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "clock.h"
#include "instrument.h"
#include "platform/serial_port.h"

namespace fwdl::testing {

// The reasons the fake ports give, as a backend gives the system's.
inline constexpr char kFakeNoDevice[] = "no such fake device";
inline constexpr char kFakeBusy[] = "the fake device is held by another program";
inline constexpr char kFakeRefused[] = "the fake device refuses the settings";
inline constexpr char kFakeGone[] = "the fake device was unplugged";

struct FakeDevice {
  bool exists = true;
  std::string remedy;  // what the backend adds to a refused opening
  bool throw_on_open = false;  // a fault that escapes the port choice
  bool get_state_ok = true;
  bool set_state_ok = true;
  bool open = false;
  int opens = 0;
  int closes = 0;
  std::string waiting;  // received bytes not yet read
  std::string written;  // everything the program wrote, in order
  int write_calls = 0;
  int polls = 0;  // WaitingCount calls: one a poll tick
  // After this many bytes written the device is gone (an unplugged
  // adapter): every later operation reports it lost.
  std::optional<std::size_t> lost_after;
  bool gone = false;
  // An XOFF holds our output: writes take nothing and wait out their time
  // on the clock. ResumeOutput lifts it. `xoff_after`: the XOFF comes once
  // this many bytes have been written.
  bool xoff = false;
  bool xoff_again = false;  // the instrument repeats its XOFF: ResumeOutput lifts nothing
  // Writes take the time of a line that carries this many bytes a
  // millisecond (57600 baud: about 6); 0: no time at all.
  int bytes_per_ms = 0;
  // A driver whose write falls short: it takes at most this many bytes a
  // call (as a write that times out), and the caller must send the rest.
  std::optional<std::uint32_t> most_per_write;
  std::optional<std::size_t> xoff_after;
  int resumes = 0;
  // A faulty driver: WaitingCount reports this instead, Read delivers this
  // many bytes more than asked for.
  std::optional<std::uint32_t> reported_waiting;
  std::uint32_t read_overrun = 0;
  LineSettings port_settings;  // what GetState reports
  std::optional<LineSettings> applied;  // what SetState received last
  sim::Instrument* instrument = nullptr;
  std::function<void(char byte)> on_byte;  // a test's responder
  std::function<void()> on_poll;  // told at every poll tick
};

class FakePorts final : public SerialPorts {
 public:
  explicit FakePorts(Clock& clock) : clock_(clock) {}

  // The device behind a port name; created on first use.
  FakeDevice& device(const std::string& name) { return devices_[name]; }
  // Puts bytes in the device's receive queue now.
  void Arrive(const std::string& name, const std::string& bytes) {
    devices_[name].waiting += bytes;
  }

  OpenResult Open(const std::string& name) override;
  PortError GetState(PortHandle port, LineSettings& settings) override;
  PortError SetState(PortHandle port, const LineSettings& settings) override;
  PortResult WaitingCount(PortHandle port) override;
  PortResult Read(PortHandle port, void* data, std::uint32_t count) override;
  PortResult Write(PortHandle port, const void* data, std::uint32_t count, int wait_ms) override;
  // No driver below a fake device holds bytes back.
  std::uint32_t OutputQueued(PortHandle) override { return 0; }
  void ResumeOutput(PortHandle port) override;
  void Close(PortHandle port) override;
  // "fake:COM1"; nothing for a port whose device does not exist.
  std::string DeviceOf(const std::string& name) const override {
    const auto it = devices_.find(name);
    return it != devices_.end() && !it->second.exists ? "" : "fake:" + name;
  }

 private:
  FakeDevice& At(PortHandle port);
  void Collect(FakeDevice& d);

  Clock& clock_;
  std::map<std::string, FakeDevice> devices_;
  std::map<PortHandle, std::string> handles_;
  PortHandle next_handle_ = 100;
};

}  // namespace fwdl::testing
