// What every system shares of the serial devices: the flow mode each
// driver needs, and the one-line description of an adapter.
#include "serial_devices.h"

namespace fwdl {

const char* FlowModeName(FlowMode mode) { return mode == FlowMode::kKernel ? "kernel" : "program"; }

// Who stops our output when the instrument sends XOFF, with IXON set:
//   pseudo-terminal           kernel   the tty layer stops the writer at once
//   serial core UART          kernel   the core stops the UART's transmitter; at
//     (serial8250, 8250 PCI            most its FIFO still goes out
//     "serial", platform UARTs)
//   ftdi_sio                  kernel   the driver has the FTDI chip act on XOFF
//   other usb-serial drivers  program  the usb-serial layer has no way to stop:
//     (ch341, cp210x, pl2303)          the up to 4 KB it has queued go out after
//                                      the XOFF, and IXON takes the XOFF away
//   cdc_acm, other USB ttys   program  the same: no stop, a queue of its own
//   anything else, unknown    program  the program's own watch holds on any driver
FlowMode FlowModeFor(Attachment attachment, const std::string& driver) {
  switch (attachment) {
    case Attachment::kNone:
    case Attachment::kSerialCore:
      return FlowMode::kKernel;
    case Attachment::kUsbSerial:
      return driver == "ftdi_sio" ? FlowMode::kKernel : FlowMode::kProgram;
    case Attachment::kUsb:
    case Attachment::kOther:
      return FlowMode::kProgram;
  }
  return FlowMode::kProgram;
}

std::string AdapterSummary(const SerialDevice& d) {
  std::string text;
  auto add = [&text](const std::string& part) {
    if (!part.empty()) text += (text.empty() ? "" : ", ") + part;
  };
  add(d.driver);
  if (!d.usb_id.empty()) add("USB " + d.usb_id);
  if (!d.serial.empty()) add("serial " + d.serial);
  add(d.manufacturer.empty() || d.product.empty() ? d.manufacturer + d.product
                                                  : d.manufacturer + " " + d.product);
  add(std::string("flow control: ") + FlowModeName(d.flow));
  return text;
}

}  // namespace fwdl
