#include "platform/signature.h"

#include "platform/sha256.h"

namespace fwdl {
namespace {

constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";

bool Blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

KeyRead ReadPublicKey(std::string_view pem) {
  const auto begin = pem.find(kBegin);
  if (begin == std::string_view::npos) {
    // The private key given by mistake is the likeliest slip: say so.
    if (pem.find("PRIVATE KEY-----") != std::string_view::npos) {
      return {std::nullopt, "a private key, not a public one (openssl ec -pubout writes that)"};
    }
    return {std::nullopt, "no PEM \"PUBLIC KEY\" in it"};
  }
  const auto body = begin + kBegin.size();
  const auto end = pem.find(kEnd, body);
  if (end == std::string_view::npos) return {std::nullopt, "the PEM \"PUBLIC KEY\" has no end line"};
  if (!Blank(pem.substr(0, begin)) || !Blank(pem.substr(end + kEnd.size()))) {
    return {std::nullopt, "more than one PEM \"PUBLIC KEY\" in it, or text around it"};
  }
  auto der = signature_backend::DecodeBase64(pem.substr(body, end - body));
  if (!der || der->empty()) return {std::nullopt, "the PEM \"PUBLIC KEY\" is not base64"};
  if (auto problem = signature_backend::KeyProblem(*der)) return {std::nullopt, std::move(*problem)};
  Sha256 digest;
  digest.Update(der->data(), der->size());
  const auto hex = digest.Finish();
  if (!hex) return {std::nullopt, "its SHA-256 cannot be computed"};
  return {PublicKey{std::move(*der), hex->substr(0, 16)}, {}};
}

SignatureVerdict VerifySignature(const PublicKey& key, std::span<const std::uint8_t> data,
                                 std::span<const std::uint8_t> signature) {
  if (signature.empty()) return {SignatureCheck::kUnreadable, "the signature is empty"};
  Sha256 hash;
  hash.Update(data.data(), data.size());
  std::uint8_t digest[32];
  if (!hash.FinishBytes(digest)) return {SignatureCheck::kUnreadable, "SHA-256 failed"};
  return signature_backend::Verify(key.der, digest, signature);
}

}  // namespace fwdl
