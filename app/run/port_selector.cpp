#include "app/run/port_selector.h"

#include <algorithm>
#include <cctype>

#include "app/run/console_os.h"

namespace fwdl::console {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Same(const std::string& a, const std::string& b) { return !a.empty() && Lower(a) == Lower(b); }

// "0403:6001": four hex digits, a colon, four hex digits.
bool IsUsbId(const std::string& text) {
  if (text.size() != 9 || text[4] != ':') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != 4 && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// Whether `selector` names `d`, and in words what it asks for.
bool Fits(const std::string& selector, const SerialDevice& d) {
  if (selector.rfind("usb:", 0) == 0) {
    const std::string value = selector.substr(4);
    return IsUsbId(value) ? Same(value, d.usb_id) : Same(value, d.serial);
  }
  const std::string socket = selector.substr(7);
  return Same(socket, d.usb_port) || Same(socket, d.usb_interface);
}

std::string Wanted(const std::string& selector) {
  if (selector.rfind("usb:", 0) == 0) {
    const std::string value = selector.substr(4);
    return IsUsbId(value) ? "USB vendor and product " + Lower(value)
                          : "the USB serial number " + value;
  }
  return "the USB socket " + selector.substr(7);
}

// The ports present, one a line, each with the selectors that name it alone.
std::string Listing(const std::vector<SerialDevice>& devices) {
  if (devices.empty()) return "no serial port is present";
  std::string list = "the ports present:";
  for (const SerialDevice& d : devices) {
    list += "\n  " + d.device + "  ";
    const std::vector<std::string> selectors = SelectorsOf(d, devices);
    for (const std::string& s : selectors) list += s + " ";
    if (selectors.empty()) list += "(no selector names it alone) ";
    list += '(';
    list += AdapterSummary(d);
    list += ')';
  }
  return list;
}

}  // namespace

bool IsSelector(const std::string& argument) {
  return (argument.rfind("usb:", 0) == 0 && argument.size() > 4) ||
         (argument.rfind("socket:", 0) == 0 && argument.size() > 7);
}

PortChoice ChoosePort(const std::string& selector, const std::vector<SerialDevice>& devices) {
  std::vector<const SerialDevice*> fitting;
  for (const SerialDevice& d : devices) {
    if (Fits(selector, d)) fitting.push_back(&d);
  }
  if (fitting.size() == 1) return {fitting[0]->device, {}};
  if (fitting.empty()) {
    return {{}, "--port " + selector + ": no port has " + Wanted(selector) + "; " + Listing(devices)};
  }
  std::string which;
  for (const SerialDevice* d : fitting) which += (which.empty() ? "" : ", ") + d->device;
  return {{}, "--port " + selector + " fits " + std::to_string(fitting.size()) + " ports (" +
                  which + "): name one alone; " + Listing(devices)};
}

std::vector<std::string> SelectorsOf(const SerialDevice& device,
                                     const std::vector<SerialDevice>& devices) {
  std::vector<std::string> candidates;
  if (!device.serial.empty()) candidates.push_back("usb:" + device.serial);
  if (!device.usb_port.empty()) candidates.push_back("socket:" + device.usb_port);
  if (!device.usb_interface.empty()) candidates.push_back("socket:" + device.usb_interface);
  if (!device.usb_id.empty()) candidates.push_back("usb:" + device.usb_id);
  std::vector<std::string> alone;
  for (const std::string& s : candidates) {
    const auto fitting = std::count_if(devices.begin(), devices.end(),
                                       [&](const SerialDevice& d) { return Fits(s, d); });
    // The interface only where the socket alone does not tell.
    const bool socket_told = s.rfind("socket:", 0) == 0 &&
                             std::any_of(alone.begin(), alone.end(), [](const std::string& a) {
                               return a.rfind("socket:", 0) == 0;
                             });
    if (fitting == 1 && !socket_told) alone.push_back(s);
  }
  return alone;
}

PortChoice ChoosePort(const std::string& argument) {
  if (!IsSelector(argument)) return {PortName(argument), {}};
  PortChoice choice = ChoosePort(argument, SerialDevicesPresent());
  if (!choice.name.empty()) choice.name = PortName(choice.name);
  return choice;
}

}  // namespace fwdl::console
