#include "app/console/ports_list.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "app/run/console_os.h"
#include "app/run/port_selector.h"
#include "app/run/record.h"
#include "platform/usb_adapters.h"

namespace fwdl::console {
namespace {

using Json = nlohmann::ordered_json;

Json Known(const std::string& text) { return text.empty() ? Json(nullptr) : Json(Latin1ToUtf8(text)); }

std::vector<SerialDevice> Facts(const std::vector<PortInfo>& ports) {
  std::vector<SerialDevice> devices;
  for (const PortInfo& p : ports) devices.push_back(p.facts);
  return devices;
}

}  // namespace

int PrintPorts(bool json, std::ostream& out) {
  const std::vector<PortInfo> ports = ListPorts();
  const std::vector<SerialDevice> devices = Facts(ports);
  const std::vector<UsbAdapter> adapters = AdaptersWithoutPort();
  if (!json) {
    for (const PortInfo& port : ports) {
      out << port.device << (port.about.empty() ? "" : "  ") << port.about;
      const std::vector<std::string> selectors = SelectorsOf(port.facts, devices);
      for (std::size_t i = 0; i < selectors.size(); ++i) {
        out << (i == 0 ? "; --port " : " or ") << selectors[i];
      }
      out << '\n';
    }
    for (const UsbAdapter& adapter : adapters) out << "no port: " << AdapterLine(adapter) << '\n';
    return 0;
  }
  Json list = Json::array();
  for (const PortInfo& port : ports) {
    const SerialDevice& d = port.facts;
    Json entry{{"port", Latin1ToUtf8(port.device)}, {"com", port.com}};
    entry["name"] = Known(d.product);
    entry["driver"] = Known(d.driver);
    entry["usb"] = Known(d.usb_id);
    entry["serial"] = Known(d.serial);
    entry["socket"] = Known(d.usb_port);
    entry["flow_control"] = FlowModeName(d.flow);
    entry["selectors"] = SelectorsOf(d, devices);
    entry["by_id"] = d.by_id;
    entry["problem"] = Known(port.problem);
    list.push_back(std::move(entry));
  }
  Json without = Json::array();
  for (const UsbAdapter& a : adapters) {
    without.push_back({{"chip", a.chip->name},
                       {"usb", a.usb_id},
                       {"socket", Known(a.socket)},
                       {"problem_code", a.problem ? Json(a.problem) : Json(nullptr)},
                       {"text", Latin1ToUtf8(AdapterLine(a))}});
  }
  out << Json{{"ports", list}, {"adapters_without_port", without}}.dump() << '\n';
  return 0;
}

}  // namespace fwdl::console
