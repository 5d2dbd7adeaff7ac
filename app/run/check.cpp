#include "app/run/check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <vector>

#include "download/dvb_header.h"
#include "download/firmware_file.h"
#include "download/hex_check.h"
#include "platform/sha256.h"

namespace fwdl::console {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Range(const HexRange& range) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%08X-0x%08X (%llu bytes)", range.first, range.last,
                static_cast<unsigned long long>(range.Bytes()));
  return text;
}

std::string HexBytes(const std::array<std::uint8_t, 10>& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%s%02X", text.empty() ? "" : " ", byte);
    text += digits;
  }
  return text;
}

int Invalid(std::ostream& out, const std::string& what) {
  out << "error: " << what << "\nresult: invalid\n";
  return kCheckInvalid;
}

void PrintHexFigures(const HexSummary& summary, std::ostream& out) {
  out << "data bytes: " << summary.data_bytes << '\n';
  out << "ranges: " << summary.ranges.size() << '\n';
  for (const HexRange& range : summary.ranges) out << "range: " << Range(range) << '\n';
  if (summary.overlaps.empty()) {
    out << "overlaps: none\n";
    return;
  }
  std::uint64_t again = 0;
  for (const HexRange& overlap : summary.overlaps) again += overlap.Bytes();
  out << "overlaps: " << summary.overlaps.size() << " (" << again
      << " bytes written more than once)\n";
  for (const HexRange& overlap : summary.overlaps) out << "overlap: " << Range(overlap) << '\n';
}

}  // namespace

std::optional<FileKind> ParseFileKind(std::string_view name) {
  if (name == "hex") return FileKind::kHex;
  if (name == "dvb") return FileKind::kDvb;
  return std::nullopt;
}

std::optional<FileKind> FileKindOf(const std::string& path) {
  const std::string extension = Lower(std::filesystem::path(path).extension().string());
  if (extension == ".hex") return FileKind::kHex;
  if (extension == ".bin") return FileKind::kDvb;
  return std::nullopt;
}

int RunCheck(const std::string& path, std::optional<FileKind> kind, std::ostream& out,
             std::ostream& err) {
  if (!kind) kind = FileKindOf(path);
  if (!kind) {
    err << "fwdl: " << path << ": the name does not tell the kind of firmware (.hex or .bin); "
        << "give --kind hex or --kind dvb\n";
    return kCheckUsage;
  }
  const bool hex = *kind == FileKind::kHex;
  out << "file: " << path << '\n';
  out << "kind: " << (hex ? "hex (Intel HEX)" : "dvb (DVB image)") << '\n';
  FirmwareFile file;
  if (!file.Open(path)) return Invalid(out, "cannot be read: " + WhyNotOpened(path));
  const auto size = file.Size();
  if (!size) return Invalid(out, "cannot be read: its size cannot be measured");
  out << "size: " << *size << " bytes\n";
  if (!hex && !DvbImageSizeFits(*size)) {
    return Invalid(out, *size == 0 ? "the file is empty: a DVB image holds at least one byte"
                                   : "the file is larger than the " +
                                         std::to_string(kLargestDvbImage) +
                                         " bytes that a DVB header can announce");
  }

  // One pass: the digest and the HEX check take the same pieces.
  Sha256 digest;
  HexChecker checker;
  std::vector<std::uint8_t> piece(1 << 16);
  std::uint64_t read = 0;
  for (std::size_t got; (got = file.Read(piece.data(), piece.size())) > 0; read += got) {
    digest.Update(piece.data(), got);
    if (hex) checker.Feed({reinterpret_cast<const char*>(piece.data()), got});
  }
  if (read != *size) {
    return Invalid(out, "cannot be read: " + std::to_string(read) + " of its " +
                            std::to_string(*size) + " bytes could be read");
  }
  const auto sha256 = digest.Finish();
  if (!sha256) return Invalid(out, "its SHA-256 cannot be computed");
  out << "sha256: " << *sha256 << '\n';

  if (!hex) {
    out << "header: " << HexBytes(DvbHeader(static_cast<std::uint32_t>(*size))) << '\n';
  } else {
    const HexSummary summary = checker.Finish();
    if (summary.error) return Invalid(out, summary.error->Text());
    PrintHexFigures(summary, out);
  }
  out << "result: valid\n";
  return kCheckValid;
}

std::optional<std::string> HexFileError(const std::string& path) {
  const HexSummary summary = CheckHexFile(path);
  if (!summary.error) return std::nullopt;
  return summary.error->Text();
}

}  // namespace fwdl::console
