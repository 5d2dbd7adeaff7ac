// Signed releases: a firmware file and its detached signature FILE.sig
// beside it (signature.h). A file given with trusted keys is read once into
// memory, its signature checked over those bytes, and those bytes are what
// a download sends: nothing can change the file between the check and the
// sending.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/signature.h"

namespace fwdl {

// The keys of --trust, each read from its PEM file.
struct TrustedKeys {
  std::vector<PublicKey> keys;
  // The first key file that cannot be read, and why; a file checked against
  // these keys is refused with it.
  std::optional<std::string> problem;
  // "3f2a..., 9c1e...".
  std::string Fingerprints() const;
};

TrustedKeys ReadTrustedKeys(const std::vector<std::string>& paths);

enum class ReleaseCheck {
  kGood,        // signed by one of the trusted keys
  kUnreadable,  // the firmware file itself cannot be read
  kUntrusted,   // no good signature by a trusted key
};

struct Release {
  ReleaseCheck check = ReleaseCheck::kUnreadable;
  std::vector<std::uint8_t> bytes;  // the file as it was read and checked
  std::string signed_by;            // kGood: the fingerprint of the key
  // Otherwise why, in one line: "no signature beside the file (fw.bin.sig)",
  // "signed by another key, 9c1e5d7a04b3f6e2 (trusted: 3f2a...)", "the file
  // changed since it was signed, ...", "the signature fw.bin.sig cannot be
  // read: ...", "the key release.pub cannot be read: ...".
  std::string why;
};

// Reads `path` and `path`.sig and checks the one against the other. Where
// no trusted key made the signature, the keys in PEM files ("*.pub") beside
// the firmware are tried, so that a file signed by another known key can
// be named by that key's fingerprint.
Release ReadRelease(const std::string& path, const TrustedKeys& trusted);

// The whole of a regular file; nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);

}  // namespace fwdl
