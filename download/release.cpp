#include "download/release.h"

#include <filesystem>
#include <fstream>

namespace fwdl {
namespace {

namespace fs = std::filesystem;

// Key files beside a firmware file are small; more than a few would be a
// folder of something else.
constexpr std::uintmax_t kLargestKeyFile = 16 * 1024;
constexpr int kKeysBesideTried = 32;

std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string Name(const std::string& path) { return fs::path(path).filename().string(); }

// The fingerprint of a key beside the file, not a trusted one, whose
// signature `signature` is over `bytes`.
std::optional<std::string> SignerBeside(const std::string& path, const TrustedKeys& trusted,
                                        const std::vector<std::uint8_t>& bytes,
                                        const std::vector<std::uint8_t>& signature) {
  std::error_code error;
  fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) folder = ".";
  int tried = 0;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end && tried < kKeysBesideTried;
       entry.increment(error)) {
    std::error_code size_error;
    if (entry->path().extension() != ".pub" || !entry->is_regular_file(size_error) ||
        entry->file_size(size_error) > kLargestKeyFile || size_error) {
      continue;
    }
    ++tried;
    const auto pem = ReadWholeFile(entry->path().string());
    const KeyRead read = pem ? ReadPublicKey(Text(*pem)) : KeyRead{};
    if (!read.key) continue;
    bool known = false;
    for (const PublicKey& key : trusted.keys) known = known || key.der == read.key->der;
    if (!known && VerifySignature(*read.key, bytes, signature).check == SignatureCheck::kGood) {
      return read.key->fingerprint;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string TrustedKeys::Fingerprints() const {
  std::string list;
  for (const PublicKey& key : keys) list += (list.empty() ? "" : ", ") + key.fingerprint;
  return list;
}

TrustedKeys ReadTrustedKeys(const std::vector<std::string>& paths) {
  TrustedKeys trusted;
  for (const std::string& path : paths) {
    std::error_code error;
    const bool small = fs::is_regular_file(path, error) && fs::file_size(path, error) <= kLargestKeyFile;
    const auto pem = small ? ReadWholeFile(path) : std::nullopt;
    const KeyRead read = pem ? ReadPublicKey(Text(*pem)) : KeyRead{std::nullopt, "no such file, or not a key file"};
    if (read.key) {
      trusted.keys.push_back(*read.key);
    } else if (!trusted.problem) {
      trusted.problem = "the key " + path + " cannot be read: " + read.why;
    }
  }
  return trusted;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // In pieces until the end, not by the size measured first: a file that
  // grows or shrinks meanwhile is read as it is.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(fs::file_size(path, error)));  // a hint; 0 on an error
  std::vector<char> piece(1 << 20);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    bytes.insert(bytes.end(), piece.data(), piece.data() + in.gcount());
  }
  if (in.bad()) return std::nullopt;
  return bytes;
}

Release ReadRelease(const std::string& path, const TrustedKeys& trusted) {
  Release release;
  auto bytes = ReadWholeFile(path);
  if (!bytes) return release;
  release.bytes = std::move(*bytes);
  release.check = ReleaseCheck::kUntrusted;
  if (trusted.problem) {
    release.why = *trusted.problem;
    return release;
  }
  const std::string sig_path = path + ".sig";
  std::error_code error;
  if (!fs::exists(sig_path, error)) {
    release.why = "no signature beside the file (" + Name(sig_path) + ")";
    return release;
  }
  const auto signature = ReadWholeFile(sig_path);
  if (!signature) {
    release.why = "the signature " + Name(sig_path) + " cannot be read";
    return release;
  }
  std::string unreadable;
  for (const PublicKey& key : trusted.keys) {
    const SignatureVerdict verdict = VerifySignature(key, release.bytes, *signature);
    if (verdict.check == SignatureCheck::kGood) {
      release.check = ReleaseCheck::kGood;
      release.signed_by = key.fingerprint;
      return release;
    }
    if (verdict.check == SignatureCheck::kUnreadable) unreadable = verdict.why;
  }
  if (!unreadable.empty()) {
    release.why = "the signature " + Name(sig_path) + " cannot be read: " + unreadable;
  } else if (const auto other = SignerBeside(path, trusted, release.bytes, *signature)) {
    release.why = "signed by another key, " + *other + " (trusted: " + trusted.Fingerprints() + ")";
  } else {
    release.why = "the file changed since it was signed, or the signature is of another file or "
                  "by another key (trusted: " + trusted.Fingerprints() + ")";
  }
  return release;
}

}  // namespace fwdl
