// SHA-256 digests of firmware files, from the system's own cryptographic
// library: nettle on Linux (sha256_nettle.cpp), BCrypt on Windows
// (sha256_bcrypt.cpp); the build picks one. What both share (the hex
// text, reading a file) is in sha256.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace fwdl {

// A digest over pieces: Update with each piece in order, then Finish once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t size);
  // 64 lowercase hex digits; nothing when the library failed.
  std::optional<std::string> Finish();
  // The 32 bytes themselves, instead of Finish; false when the library failed.
  bool FinishBytes(std::uint8_t (&digest)[32]) { return Digest(digest); }

 private:
  struct State;
  bool Digest(std::uint8_t (&digest)[32]);  // per system
  std::unique_ptr<State> state_;
};

// The digest of a regular file's bytes; nothing when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::string& path);

}  // namespace fwdl
