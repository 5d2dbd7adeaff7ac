// "Send DVB Firmware": finds the running instrument, announces the image
// with "SX", sends the 10-byte DVB header and then the file in chunks of
// up to 1024 bytes through the escape encoding, and waits up to a minute
// for "Flashed successfully...". Once the image has been sent the program
// ends, whatever the instrument reported.
#pragma once

#include <cstdint>

#include "download/procedure.h"

namespace fwdl {

class DvbDownload : public DownloadProcedure {
 public:
  DvbDownload(SerialLink& link, Progress& progress, Phase& phase)
      : DownloadProcedure(link, progress, phase) {}

  // The whole procedure, from the first box to its end.
  Outcome Button3Click();

  // Writes `count` bytes through the escape encoding, all of them in one
  // run. `consumed` counts the bytes whose encoding went out completely. False
  // when no port is open (consumed 0) or when a write fell short (consumed
  // counts the bytes before the one that fell short; one or two bytes of
  // its escape sequence may have gone out).
  bool SendEscaped(const std::uint8_t* data, std::uint32_t count, std::uint32_t& consumed);

 private:
  // True when the instrument's success report is among the bytes received
  // since the count was last reset.
  bool FlashedSuccessfully() const;
};

}  // namespace fwdl
