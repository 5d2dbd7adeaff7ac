// The readers of keys and signatures on any input; the first byte picks
// what the rest is: 0, the text of a key file; 1, a key's DER; otherwise a
// signature's DER, checked with a fixed key over fixed bytes. Checked on
// every input:
// - a key accepted has a fingerprint of 16 hex digits, and its DER passes
//   again; a byte after an accepted DER makes it refused;
// - a refusal always says why;
// - a signature that reads (good or not) is refused with a byte after it;
//   a good one is good only over its own bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "platform/signature.h"

namespace fwdl::fuzz {
namespace {

// Made with openssl ecparam -name prime256v1 and openssl ec -pubout.
constexpr char kKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAExSBJpv0UMDshjXjzHAFpF1F2rH6a\n"
    "fI5ATatxcP31Hxta/7wjzk+8Oh/RuOHuZyPaLIWhuxQqFYHshfycCXtCxg==\n"
    "-----END PUBLIC KEY-----\n";
const std::string kSigned = "firmware";

void CheckKey(const KeyRead& read) {
  if (!read.key) {
    if (read.why.empty()) Fail("a key refused without a reason");
    return;
  }
  if (read.key->fingerprint.size() != 16 ||
      read.key->fingerprint.find_first_not_of("0123456789abcdef") != std::string::npos) {
    Fail("fingerprint " + Shown(read.key->fingerprint));
  }
  if (signature_backend::KeyProblem(read.key->der)) Fail("an accepted key's DER is refused");
}

}  // namespace
}  // namespace fwdl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fwdl;
  using namespace fwdl::fuzz;
  if (size == 0) return 0;
  const std::vector<std::uint8_t> rest(data + 1, data + size);
  std::vector<std::uint8_t> longer = rest;
  longer.push_back(0);
  switch (data[0]) {
    case 0:
      CheckKey(ReadPublicKey(std::string(rest.begin(), rest.end())));
      break;
    case 1: {
      const auto problem = signature_backend::KeyProblem(rest);
      if (problem && problem->empty()) Fail("a key DER refused without a reason");
      if (!problem && !signature_backend::KeyProblem(longer)) Fail("a byte after a key's DER passes");
      break;
    }
    default: {
      static const KeyRead key = ReadPublicKey(kKey);
      if (!key.key) Fail("the fixed key does not read: " + key.why);
      const std::vector<std::uint8_t> bytes(kSigned.begin(), kSigned.end());
      const SignatureVerdict verdict = VerifySignature(*key.key, bytes, rest);
      if (verdict.check == SignatureCheck::kUnreadable) {
        if (verdict.why.empty()) Fail("a signature refused without a reason");
        break;
      }
      if (VerifySignature(*key.key, bytes, longer).check != SignatureCheck::kUnreadable) {
        Fail("a byte after a signature's DER passes");
      }
      if (verdict.check == SignatureCheck::kGood) {
        std::vector<std::uint8_t> other = bytes;
        other.back() ^= 1;
        if (VerifySignature(*key.key, other, rest).check == SignatureCheck::kGood) {
          Fail("a signature good over other bytes too");
        }
      }
    }
  }
  return 0;
}
