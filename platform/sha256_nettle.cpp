// SHA-256 on Linux: nettle's.
#include <nettle/sha2.h>

#include "platform/sha256.h"

namespace fwdl {

struct Sha256::State {
  sha256_ctx context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { sha256_init(&state_->context); }

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
  sha256_update(&state_->context, size, static_cast<const std::uint8_t*>(data));
}

bool Sha256::Digest(std::uint8_t (&digest)[32]) {
  static_assert(SHA256_DIGEST_SIZE == sizeof digest);
  sha256_digest(&state_->context, sizeof digest, digest);
  return true;
}

}  // namespace fwdl
