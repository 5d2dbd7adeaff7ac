#include "app/station/firmware.h"

#include <algorithm>
#include <filesystem>

#include "app/run/check.h"
#include "download/release.h"
#include "platform/sha256.h"

namespace fwdl::station {

std::optional<std::string> ExamineFirmware(const std::string& path,
                                           const std::vector<std::string>& trust,
                                           Firmware& firmware) {
  using console::FileKind;
  const std::optional<FileKind> kind = console::FileKindOf(path);
  if (!kind) return "the firmware's name must end in .hex (HEX) or .bin (DVB)";
  firmware.path = path;
  firmware.procedure = *kind == FileKind::kHex ? "hex" : "dvb";
  if (!trust.empty()) {
    const Release release = ReadRelease(path, ReadTrustedKeys(trust));
    if (release.check == ReleaseCheck::kUnreadable) return "cannot be read";
    if (release.check == ReleaseCheck::kUntrusted) return "not signed by a trusted key: " + release.why;
    firmware.signed_by = release.signed_by;
    firmware.size = release.bytes.size();
    const std::string_view text(reinterpret_cast<const char*>(release.bytes.data()), release.bytes.size());
    if (*kind == FileKind::kHex) {
      if (const auto problem = console::HexTextError(text)) return *problem;
    } else if (firmware.size == 0) {
      return "an empty image";
    }
    Sha256 digest;
    digest.Update(release.bytes.data(), release.bytes.size());
    const auto sha256 = digest.Finish();
    if (!sha256) return "cannot be read";
    firmware.sha256 = *sha256;
    return std::nullopt;
  }
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

std::optional<std::string> ExamineReleases(const std::string& folder,
                                           const std::vector<std::string>& trust,
                                           std::vector<Offered>& offered) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return "cannot be read: " + error.message();
  for (const fs::directory_entry& entry : entries) {
    const std::string path = entry.path().string();
    if (!entry.is_regular_file(error) || !console::FileKindOf(path)) continue;
    Offered file{entry.path().filename().string(), {}, std::nullopt};
    file.refused = ExamineFirmware(path, trust, file.firmware);
    offered.push_back(std::move(file));
  }
  std::sort(offered.begin(), offered.end(),
            [](const Offered& a, const Offered& b) { return a.name < b.name; });
  return std::nullopt;
}

}  // namespace fwdl::station
