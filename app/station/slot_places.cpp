#include "app/station/slot_places.h"

#include <algorithm>
#include <map>

#include "app/run/console_os.h"
#include "app/run/port_selector.h"
#include "platform/serial_devices.h"

namespace fwdl::station {

std::vector<SlotPlace> PlaceSlots(const std::vector<std::string>& slots) {
  // What tells each slot's adapter apart, as fwdl ports shows it: on Linux
  // the driver, USB ids, serial number and names; on Windows the Device
  // Manager's name and the USB ids. Nothing for a device it does not list.
  const std::vector<console::PortInfo> present = console::ListPorts();
  std::vector<SlotPlace> places;
  for (const std::string& port : slots) {
    // The port its fwdl will open, chosen as fwdl --port chooses it, then
    // with its links resolved, so that two names of one device are equal.
    const std::string name = console::ChoosePort(port).name;
    const std::string device = name.empty() ? "" : PortDevice(name);
    SlotPlace place;
    if (!device.empty()) place.device = DescribeDevice(device).device;
    const auto listed = std::find_if(present.begin(), present.end(), [&](const auto& p) {
      return !place.device.empty() && p.device == place.device;
    });
    if (listed != present.end()) place.adapter = listed->about;
    places.push_back(std::move(place));
  }
  return places;
}

std::optional<std::string> SharedDevice(const std::vector<std::string>& slots,
                                        const std::vector<SlotPlace>& places) {
  std::map<std::string, std::string> devices;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::string& device = places[i].device;
    if (device.empty()) continue;  // nothing behind it (yet): its fwdl will say so
    if (const auto [other, fresh] = devices.emplace(device, slots[i]); !fresh) {
      return "--slot " + other->second + " and --slot " + slots[i] +
             " lead to the same device, " + device;
    }
  }
  return std::nullopt;
}

}  // namespace fwdl::station
