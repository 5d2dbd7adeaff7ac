// How the front ends open their ports, read once from the environment at
// start and handed to platform/, which reads none of it itself:
// - FWDL_FLOW=kernel|program says who keeps XON/XOFF on every port; without
//   it (or with any other value) each port's driver decides. fwdl's --flow
//   comes before it.
// - FWDL_COMn, when set and not empty, names the device of COMn (Linux).
// - FWDL_SYSTEM_ROOT puts the system's files that the program reads (sysfs,
//   /dev, /proc, udev's database) under another folder; only tests set it.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/serial_port.h"

namespace fwdl {

// The highest n of a port name "COMn" (serial_devices.h takes up to three digits).
inline constexpr int kHighestComNumber = 999;

inline SystemPlaces SystemPlacesFromEnvironment() {
  SystemPlaces places;
  for (int n = 1; n <= kHighestComNumber; ++n) {
    const char* device = std::getenv(("FWDL_COM" + std::to_string(n)).c_str());
    if (device && *device) places.com[n] = device;
  }
  if (const char* root = std::getenv("FWDL_SYSTEM_ROOT")) places.root = root;
  return places;
}

inline PortOptions PortOptionsFromEnvironment() {
  PortOptions options;
  const char* forced = std::getenv("FWDL_FLOW");
  const std::string flow = forced ? forced : "";
  if (flow == "kernel" || flow == "program") {
    options.flow = flow == "program" ? FlowMode::kProgram : FlowMode::kKernel;
    options.flow_why = "FWDL_FLOW=" + flow;
  }
  options.places = SystemPlacesFromEnvironment();
  return options;
}

}  // namespace fwdl
