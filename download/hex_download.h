// "Send Vardelo Firmware": wakes the instrument's loader while the user
// connects the charger, waits for its prompt, sends a text Intel HEX file
// in short runs of characters with a live percentage, and shows the loader's
// verdict line. After a successful download the program ends.
#pragma once

#include <string>

#include "download/procedure.h"

namespace fwdl {

// The wake-up pings' period (Timer3).
inline constexpr int kWakeInterval = 50;

class HexDownload : public DownloadProcedure {
 public:
  HexDownload(SerialLink& link, Progress& progress, Phase& phase)
      : DownloadProcedure(link, progress, phase) {
    link.timers().SetInterval(Timer::Timer3, kWakeInterval);
  }

  // The whole procedure, from the first box to its end.
  Outcome Button1Click();
  // One wake-up tick of the search (Timer3, every 50 ms).
  void Timer3Timer();
  // "Abort Search...".
  void Button2Click();

 private:
  bool Send(char byte) { return link_.SendBytes(&byte, 1); }
  // Reads the loader's answer after the transfer and ends the procedure.
  Outcome ShowVerdict();
};

}  // namespace fwdl
