// The serial link wired to a scripted window and fake ports on a fake
// clock, as the main window wires it.
#pragma once

#include "fake_ports.h"
#include "scripted_window.h"
#include "serial/serial_link.h"

namespace fwdl::testing {

struct LinkRig {
  LinkRig() {
    window.on_tick[0] = [this] { link.Timer1Timer(); };
    window.on_tick[1] = [this] { link.Timer2Timer(); };
  }
  // The bytes held since the count was last reset.
  std::string Held() const {
    return std::string(reinterpret_cast<const char*>(link.ComBuf.data()), link.ComBufPointer);
  }

  FakeClock clock;
  ScriptedWindow window{clock};
  FakePorts ports{clock};
  SerialLink link{window, ports};
};

}  // namespace fwdl::testing
