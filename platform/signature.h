// Detached signatures of firmware releases, as the tool every IT department
// has makes them:
//
//   openssl ec -in release-key.pem -pubout -out release.pub
//   openssl dgst -sha256 -sign release-key.pem -out firmware.bin.sig firmware.bin
//
// ECDSA on the curve P-256 over the file's SHA-256. The key is a PEM
// "PUBLIC KEY" (a DER SubjectPublicKeyInfo with an uncompressed point), the
// signature DER (a SEQUENCE of the INTEGERs r and s). Verified by the
// system's library, never by code of ours: nettle's on Linux
// (signature_nettle.cpp), CNG on Windows (signature_cng.cpp); the build
// picks one. What both share (the PEM armour, fingerprints) is in
// signature.cpp.
//
// The readers are strict: a key of another curve or algorithm, bytes after
// the DER, an empty or garbled signature are refused with why, never
// passed over.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fwdl {

struct PublicKey {
  std::vector<std::uint8_t> der;  // the SubjectPublicKeyInfo, as read
  std::string fingerprint;        // the first 16 hex digits of the SHA-256 of `der`
};

struct KeyRead {
  std::optional<PublicKey> key;
  std::string why;  // without a key: "a key on another curve (not P-256)", ...
};

// A P-256 public key from the text of a PEM "PUBLIC KEY".
KeyRead ReadPublicKey(std::string_view pem);

enum class SignatureCheck {
  kGood,        // the key's signature over these bytes
  kMismatch,    // a well-formed signature, but not the key's over these bytes
  kUnreadable,  // not an ECDSA signature in DER at all
};

struct SignatureVerdict {
  SignatureCheck check = SignatureCheck::kUnreadable;
  std::string why;  // for kUnreadable: "empty", "bytes after the DER signature", ...
};

// Whether `signature` is `key`'s over `data`.
SignatureVerdict VerifySignature(const PublicKey& key, std::span<const std::uint8_t> data,
                                 std::span<const std::uint8_t> signature);

// Per system.
namespace signature_backend {
// The bytes of a base64 text (no armour, line ends allowed); nothing when it
// is not base64.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);
// Why `der` is no P-256 SubjectPublicKeyInfo, or nothing when it is one.
std::optional<std::string> KeyProblem(std::span<const std::uint8_t> der);
// Verifies over a SHA-256 digest; `der` has passed KeyProblem.
SignatureVerdict Verify(std::span<const std::uint8_t> der, const std::uint8_t (&digest)[32],
                        std::span<const std::uint8_t> signature);
}  // namespace signature_backend

}  // namespace fwdl
