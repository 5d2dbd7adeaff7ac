// The program's core owned by a scripted window on the real clock and the
// real port, with COM1 leading to `device`.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "fake_system.h"
#include "rig.h"

namespace fwdl::testing {

struct RealRig {
  explicit RealRig(const std::string& device) : ports(Com1Options(device)) { core.SelectPort("COM1"); }
  // When `event` is recorded, relative to the start.
  Millis TimeOf(const std::string& event) {
    const auto at = seen.find(event);
    return at == seen.end() ? -1 : at->second;
  }

  RealClock clock;
  SystemSerialPorts ports;
  ScriptedWindow window{clock, ports};
  Core& core = window.core;
  SerialLink& link = core.link();
  std::map<std::string, Millis> seen;
};

}  // namespace fwdl::testing
