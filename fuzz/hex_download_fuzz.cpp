// "Send Vardelo Firmware" against an instrument, a user and a file that the
// input plays (script.h); download_run.h lists what is checked.
#include "download_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fwdl::fuzz::RunDownload(fwdl::fuzz::Procedure::kHex, data, size);
  return 0;
}
