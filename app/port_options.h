// How the front ends open their ports: FWDL_FLOW=kernel|program, read once
// at start, says who keeps XON/XOFF on every port; without it (or with any
// other value) each port's driver decides. fwdl's --flow comes before it.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/serial_port.h"

namespace fwdl {

inline PortOptions PortOptionsFromEnvironment() {
  PortOptions options;
  const char* forced = std::getenv("FWDL_FLOW");
  const std::string flow = forced ? forced : "";
  if (flow == "kernel" || flow == "program") {
    options.flow = flow == "program" ? FlowMode::kProgram : FlowMode::kKernel;
    options.flow_why = "FWDL_FLOW=" + flow;
  }
  return options;
}

}  // namespace fwdl
