// The program's core owned by a scripted window on the real clock and the
// real port, with COM1 leading to `device`.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "rig.h"

namespace fwdl::testing {

struct RealRig {
  explicit RealRig(const std::string& device) : mapped_(device) { core.SelectPort("COM1"); }
  // A run that keeps the program (an error verdict) leaves the port open;
  // the rig closes it as Exit would, so that nothing of it outlives the test.
  ~RealRig() {
    if (link.PortOpen()) link.Exit1Click();
  }
  RealRig(const RealRig&) = delete;
  RealRig& operator=(const RealRig&) = delete;
  // When `event` is recorded, relative to the start.
  Millis TimeOf(const std::string& event) {
    const auto at = seen.find(event);
    return at == seen.end() ? -1 : at->second;
  }

 private:
  struct MappedCom1 {
    explicit MappedCom1(const std::string& device) { setenv("FWDL_COM1", device.c_str(), 1); }
    ~MappedCom1() { unsetenv("FWDL_COM1"); }
  } mapped_;

 public:
  RealClock clock;
  SystemSerialPorts ports;
  ScriptedWindow window{clock, ports};
  Core& core = window.core;
  SerialLink& link = core.link();
  std::map<std::string, Millis> seen;
};

}  // namespace fwdl::testing
