// The program's layers wired as the main window wires them, on the real
// clock and the real port, with COM1 leading to `device`.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "rig.h"

namespace fwdl::testing {

struct RealRig {
  explicit RealRig(const std::string& device) {
    setenv("FWDL_COM1", device.c_str(), 1);
    window.on_tick[0] = [this] { link.Timer1Timer(); };
    window.on_tick[1] = [this] { link.Timer2Timer(); };
    window.on_tick[2] = [this] { hex.Timer3Timer(); };
    link.SelectPort("COM1");
  }
  ~RealRig() { unsetenv("FWDL_COM1"); }
  // When `event` is recorded, relative to the start.
  Millis TimeOf(const std::string& event) {
    const auto at = seen.find(event);
    return at == seen.end() ? -1 : at->second;
  }

  RealClock clock;
  ScriptedWindow window{clock};
  SystemSerialPorts ports;
  SerialLink link{window, ports};
  Progress progress;
  HexDownload hex{link, progress};
  DvbDownload dvb{link, progress};
  std::map<std::string, Millis> seen;
};

}  // namespace fwdl::testing
