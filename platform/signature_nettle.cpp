// Signatures on Linux: nettle's DER reader, base64 decoder and ECDSA
// (hogweed, with GMP for its numbers).
#include <nettle/asn1.h>
#include <nettle/base64.h>
#include <nettle/bignum.h>
#include <nettle/dsa.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/signature.h"

namespace fwdl::signature_backend {
namespace {

// The contents of the OBJECT IDENTIFIERs id-ecPublicKey and prime256v1.
constexpr std::uint8_t kEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::uint8_t kP256[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::size_t kPointSize = 65;  // 0x04, X, Y

// The tag that nettle read. Its field has the type of an enum that lists
// only the universal tags, while nettle stores any tag there: read as the
// number it is, never as a value of that enum.
unsigned TypeOf(const asn1_der_iterator& i) {
  static_assert(sizeof i.type == sizeof(unsigned));
  unsigned type;
  std::memcpy(&type, &i.type, sizeof type);
  return type;
}

bool Is(const asn1_der_iterator& i, std::span<const std::uint8_t> contents) {
  return TypeOf(i) == ASN1_IDENTIFIER && std::equal(i.data, i.data + i.length, contents.begin(),
                                                 contents.end());
}

// The top object must be a SEQUENCE that takes up every byte.
std::optional<std::string> OneSequence(asn1_der_iterator& top, std::span<const std::uint8_t> der) {
  if (asn1_der_iterator_first(&top, der.size(), der.data()) != ASN1_ITERATOR_CONSTRUCTED ||
      TypeOf(top) != ASN1_SEQUENCE) {
    return "is not DER";
  }
  if (top.pos != der.size()) return "has bytes after its DER";
  return std::nullopt;
}

struct Numbers {
  Numbers() { mpz_inits(x, y, nullptr); }
  ~Numbers() { mpz_clears(x, y, nullptr); }
  mpz_t x, y;
};

// The point of a key that passed KeyProblem, on the curve; false when it is not.
bool PointOf(std::span<const std::uint8_t> der, ecc_point& point) {
  asn1_der_iterator top, info;
  if (OneSequence(top, der) || asn1_der_decode_constructed(&top, &info) != ASN1_ITERATOR_CONSTRUCTED ||
      asn1_der_iterator_next(&info) != ASN1_ITERATOR_PRIMITIVE || info.length != kPointSize + 1) {
    return false;
  }
  Numbers n;
  nettle_mpz_set_str_256_u(n.x, 32, info.data + 2);
  nettle_mpz_set_str_256_u(n.y, 32, info.data + 2 + 32);
  return ecc_point_set(&point, n.x, n.y) == 1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  std::string compact;
  std::copy_if(text.begin(), text.end(), std::back_inserter(compact),
               [](char c) { return c != '\r' && c != '\n'; });
  std::vector<std::uint8_t> bytes(BASE64_DECODE_LENGTH(compact.size()));
  base64_decode_ctx context;
  base64_decode_init(&context);
  std::size_t size = bytes.size();
  if (!base64_decode_update(&context, &size, bytes.data(), compact.size(), compact.data()) ||
      !base64_decode_final(&context)) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

std::optional<std::string> KeyProblem(std::span<const std::uint8_t> der) {
  // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING point }
  asn1_der_iterator top, info, algorithm;
  if (const auto problem = OneSequence(top, der)) return "the key " + *problem;
  if (asn1_der_decode_constructed(&top, &info) != ASN1_ITERATOR_CONSTRUCTED ||
      TypeOf(info) != ASN1_SEQUENCE ||
      asn1_der_decode_constructed(&info, &algorithm) != ASN1_ITERATOR_PRIMITIVE) {
    return "not a public key (SubjectPublicKeyInfo)";
  }
  if (!Is(algorithm, kEcPublicKey)) return "not an elliptic-curve key";
  if (asn1_der_iterator_next(&algorithm) != ASN1_ITERATOR_PRIMITIVE || !Is(algorithm, kP256) ||
      asn1_der_iterator_next(&algorithm) != ASN1_ITERATOR_END) {
    return "a key on another curve (not P-256)";
  }
  if (asn1_der_iterator_next(&info) != ASN1_ITERATOR_PRIMITIVE || TypeOf(info) != ASN1_BITSTRING ||
      asn1_der_iterator_next(&info) != ASN1_ITERATOR_END) {
    return "not a public key (SubjectPublicKeyInfo)";
  }
  asn1_der_decode_constructed(&top, &info);
  asn1_der_iterator_next(&info);
  if (info.length != kPointSize + 1 || info.data[0] != 0 || info.data[1] != 0x04) {
    return "the key's point is not uncompressed P-256 (65 bytes, 04 first)";
  }
  ecc_point point;
  ecc_point_init(&point, nettle_get_secp_256r1());
  const bool on_curve = PointOf(der, point);
  ecc_point_clear(&point);
  if (!on_curve) return "the key's point is not on the curve P-256";
  return std::nullopt;
}

SignatureVerdict Verify(std::span<const std::uint8_t> der, const std::uint8_t (&digest)[32],
                        std::span<const std::uint8_t> signature) {
  // SEQUENCE { INTEGER r, INTEGER s }, nothing after it.
  asn1_der_iterator top, pair;
  if (const auto problem = OneSequence(top, signature)) {
    return {SignatureCheck::kUnreadable, "the signature " + *problem};
  }
  dsa_signature rs;
  dsa_signature_init(&rs);
  const bool read = asn1_der_decode_constructed(&top, &pair) == ASN1_ITERATOR_PRIMITIVE &&
                    TypeOf(pair) == ASN1_INTEGER && asn1_der_get_bignum(&pair, rs.r, 256) &&
                    asn1_der_iterator_next(&pair) == ASN1_ITERATOR_PRIMITIVE &&
                    TypeOf(pair) == ASN1_INTEGER && asn1_der_get_bignum(&pair, rs.s, 256) &&
                    asn1_der_iterator_next(&pair) == ASN1_ITERATOR_END;
  SignatureVerdict verdict{SignatureCheck::kUnreadable,
                           "the signature is not an ECDSA P-256 signature (two INTEGERs)"};
  if (read) {
    ecc_point key;
    ecc_point_init(&key, nettle_get_secp_256r1());
    if (!PointOf(der, key)) {
      verdict.why = "the key's point is not on the curve P-256";
    } else {
      const bool good = ecdsa_verify(&key, sizeof digest, digest, &rs) == 1;
      verdict = {good ? SignatureCheck::kGood : SignatureCheck::kMismatch, {}};
    }
    ecc_point_clear(&key);
  }
  dsa_signature_clear(&rs);
  return verdict;
}

}  // namespace fwdl::signature_backend
