// Signatures on Windows: crypt32 reads the DER (CryptDecodeObjectEx) and the
// base64, CNG verifies (BCryptVerifySignature). CryptDecodeObjectEx is not
// strict about what follows the DER: a key is encoded again and must give
// the very bytes that were read; a signature (which Wine's crypt32 does not
// encode) must have the size of the DER of its two numbers.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/signature.h"

namespace fwdl::signature_backend {
namespace {

// The DER of the OBJECT IDENTIFIER prime256v1: the key's parameters.
constexpr std::uint8_t kP256Parameters[] = {0x06, 0x08, 0x2A, 0x86, 0x48,
                                            0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::size_t kPointSize = 65;  // 0x04, X, Y
constexpr DWORD kEncoding = X509_ASN_ENCODING;

struct LocalFree_ {
  void operator()(void* p) const { LocalFree(p); }
};
template <class T>
using Decoded = std::unique_ptr<T, LocalFree_>;

template <class T>
Decoded<T> Decode(LPCSTR type, std::span<const std::uint8_t> der) {
  void* decoded = nullptr;
  DWORD size = 0;
  if (der.size() > MAXDWORD ||
      !CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
    return nullptr;
  }
  return Decoded<T>(static_cast<T*>(decoded));
}

// Whether `object` encodes to exactly `der`: no bytes after it, nothing
// that DER would have written otherwise.
bool EncodesTo(LPCSTR type, const void* object, std::span<const std::uint8_t> der) {
  BYTE* encoded = nullptr;
  DWORD size = 0;
  if (!CryptEncodeObjectEx(kEncoding, type, object, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded,
                           &size)) {
    return false;
  }
  const bool same = size == der.size() && std::memcmp(encoded, der.data(), size) == 0;
  LocalFree(encoded);
  return same;
}

// The size of the DER INTEGER of an unsigned number (least significant
// byte first): tag, length, its bytes without leading zeros, and a zero
// byte before a top bit that is set.
std::size_t DerIntegerSize(const CRYPT_UINT_BLOB& n) {
  DWORD size = n.cbData;
  while (size > 0 && n.pbData[size - 1] == 0) --size;
  if (size == 0) return 3;
  return 2 + size + ((n.pbData[size - 1] & 0x80) ? 1 : 0);
}

// A CRYPT_UINT_BLOB (least significant byte first) as 32 bytes, most
// significant first; false when it does not fit.
bool BigEndian32(const CRYPT_UINT_BLOB& blob, std::uint8_t* out) {
  DWORD size = blob.cbData;
  while (size > 0 && blob.pbData[size - 1] == 0) --size;
  if (size > 32) return false;
  std::memset(out, 0, 32);
  for (DWORD i = 0; i < size; ++i) out[31 - i] = blob.pbData[i];
  return true;
}

struct Algorithm {
  Algorithm() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
      handle = nullptr;
    }
  }
  ~Algorithm() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
  BCRYPT_ALG_HANDLE handle = nullptr;
};

struct Key {
  ~Key() {
    if (handle) BCryptDestroyKey(handle);
  }
  BCRYPT_KEY_HANDLE handle = nullptr;
};

// Imports the point of a SubjectPublicKeyInfo that passed KeyProblem.
bool Import(const Algorithm& algorithm, const CERT_PUBLIC_KEY_INFO& info, Key& key) {
  struct {
    BCRYPT_ECCKEY_BLOB header;
    std::uint8_t xy[64];
  } blob{};
  blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.header.cbKey = 32;
  std::memcpy(blob.xy, info.PublicKey.pbData + 1, sizeof blob.xy);
  return algorithm.handle &&
         BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                            &key.handle, reinterpret_cast<PUCHAR>(&blob),
                                            sizeof blob, 0));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  DWORD size = 0;
  if (text.size() > MAXDWORD ||
      !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            nullptr, &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(size);
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            bytes.data(), &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

std::optional<std::string> KeyProblem(std::span<const std::uint8_t> der) {
  const auto info = Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der);
  if (!info) return "the key is not DER, or not a public key (SubjectPublicKeyInfo)";
  if (!EncodesTo(X509_PUBLIC_KEY_INFO, info.get(), der)) return "the key is not DER, or has bytes after it";
  if (!info->Algorithm.pszObjId || std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0) {
    return "not an elliptic-curve key";
  }
  const CRYPT_OBJID_BLOB& curve = info->Algorithm.Parameters;
  if (curve.cbData != sizeof kP256Parameters ||
      std::memcmp(curve.pbData, kP256Parameters, sizeof kP256Parameters) != 0) {
    return "a key on another curve (not P-256)";
  }
  const CRYPT_BIT_BLOB& point = info->PublicKey;
  if (point.cUnusedBits != 0 || point.cbData != kPointSize || point.pbData[0] != 0x04) {
    return "the key's point is not uncompressed P-256 (65 bytes, 04 first)";
  }
  Algorithm algorithm;
  Key key;
  if (!Import(algorithm, *info, key)) return "the key's point is not on the curve P-256";
  return std::nullopt;
}

SignatureVerdict Verify(std::span<const std::uint8_t> der, const std::uint8_t (&digest)[32],
                        std::span<const std::uint8_t> signature) {
  const auto rs = Decode<CERT_ECC_SIGNATURE>(X509_ECC_SIGNATURE, signature);
  if (!rs) return {SignatureCheck::kUnreadable, "the signature is not DER (two INTEGERs)"};
  std::uint8_t r_s[64];
  if (!BigEndian32(rs->r, r_s) || !BigEndian32(rs->s, r_s + 32)) {
    return {SignatureCheck::kUnreadable, "the signature's numbers are too large for P-256"};
  }
  // Numbers of at most 32 bytes: the SEQUENCE's length fits in one byte.
  if (signature.size() != 2 + DerIntegerSize(rs->r) + DerIntegerSize(rs->s)) {
    return {SignatureCheck::kUnreadable, "the signature is not DER, or has bytes after it"};
  }
  const auto info = Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der);
  Algorithm algorithm;
  Key key;
  if (!info || !Import(algorithm, *info, key)) {
    return {SignatureCheck::kUnreadable, "the key cannot be taken by the system (CNG)"};
  }
  const NTSTATUS status =
      BCryptVerifySignature(key.handle, nullptr, const_cast<PUCHAR>(digest), sizeof digest, r_s,
                            sizeof r_s, 0);
  return {BCRYPT_SUCCESS(status) ? SignatureCheck::kGood : SignatureCheck::kMismatch, {}};
}

}  // namespace fwdl::signature_backend
