// SHA-256 on Windows: BCrypt's (Windows 7 and later keep the hash object
// themselves when given no buffer for it). Every call is checked; one that
// fails makes Finish give nothing.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "platform/sha256.h"

namespace fwdl {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.failed = !BCRYPT_SUCCESS(
                 BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
             !BCRYPT_SUCCESS(BCryptCreateHash(s.algorithm, &s.hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(const void* data, std::size_t size) {
  // BCryptHashData takes a ULONG count: a larger piece goes in parts.
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
  while (size > 0 && !state_->failed) {
    const ULONG part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
    state_->failed = !BCRYPT_SUCCESS(BCryptHashData(state_->hash, bytes, part, 0));
    bytes += part;
    size -= part;
  }
}

bool Sha256::Digest(std::uint8_t (&digest)[32]) {
  return !state_->failed &&
         BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest, sizeof digest, 0));
}

}  // namespace fwdl
