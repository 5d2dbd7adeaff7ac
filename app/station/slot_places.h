// Where each slot's port leads, found before the station serves: the
// device its fwdl will open, found as fwdl --port finds it (a selector
// among the ports present, COMn by its mapping), "" when nothing is behind
// it or a selector fits no port or several; and what tells the adapter
// apart, as fwdl ports shows it. Two slots that lead to one device would
// only fight over it, so the station refuses them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fwdl::station {

struct SlotPlace {
  std::string device, adapter;
};
std::vector<SlotPlace> PlaceSlots(const std::vector<std::string>& slots);
// Two slots that lead to one device: why, or nothing.
std::optional<std::string> SharedDevice(const std::vector<std::string>& slots,
                                        const std::vector<SlotPlace>& places);

}  // namespace fwdl::station
