#include "platform/sha256.h"

#include <filesystem>
#include <fstream>
#include <vector>

namespace fwdl {

std::optional<std::string> Sha256::Finish() {
  std::uint8_t digest[32];
  if (!Digest(digest)) return std::nullopt;
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
  // Only a regular file: a pipe or a device could block or never end.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Sha256 digest;
  std::vector<char> piece(1 << 16);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    digest.Update(piece.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  return digest.Finish();
}

}  // namespace fwdl
