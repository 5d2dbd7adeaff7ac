#include "app/station/firmware.h"

#include <filesystem>

#include "app/run/check.h"
#include "platform/sha256.h"

namespace fwdl::station {

std::optional<std::string> ExamineFirmware(const std::string& path, Firmware& firmware) {
  using console::FileKind;
  const std::optional<FileKind> kind = console::FileKindOf(path);
  if (!kind) return "the firmware's name must end in .hex (HEX) or .bin (DVB)";
  firmware.path = path;
  firmware.procedure = *kind == FileKind::kHex ? "hex" : "dvb";
  std::error_code error;
  firmware.size = std::filesystem::file_size(path, error);
  if (error) return "cannot be read: " + error.message();
  if (*kind == FileKind::kHex) {
    if (const auto problem = console::HexFileError(path)) return *problem;
  } else if (firmware.size == 0) {
    return "an empty image";
  }
  const auto digest = Sha256OfFile(path);
  if (!digest) return "cannot be read";
  firmware.sha256 = *digest;
  return std::nullopt;
}

}  // namespace fwdl::station
