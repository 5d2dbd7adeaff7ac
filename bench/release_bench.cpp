// The check of a signed release, piece by piece: reading the file into
// memory, its SHA-256, the signature's check over the bytes (SHA-256 and
// ECDSA), and the whole of ReadRelease. Not a test; the figures go into
// the README.
//   release_bench FILE KEY.pub [RUNS]   (FILE.sig beside FILE)
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "download/release.h"
#include "platform/sha256.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: release_bench FILE KEY.pub [RUNS]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 20;
  using Clock = std::chrono::steady_clock;
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  const fwdl::TrustedKeys keys = fwdl::ReadTrustedKeys({argv[2]});
  const auto signature = fwdl::ReadWholeFile(std::string(argv[1]) + ".sig");
  if (keys.keys.empty() || !signature) {
    std::fprintf(stderr, "no key, or no FILE.sig\n");
    return 2;
  }
  double read = 0, hash = 0, verify = 0, whole = 0;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    const auto bytes = fwdl::ReadWholeFile(argv[1]);
    const auto t1 = Clock::now();
    fwdl::Sha256 digest;
    digest.Update(bytes->data(), bytes->size());
    digest.Finish();
    const auto t2 = Clock::now();
    fwdl::VerifySignature(keys.keys.front(), *bytes, *signature);
    const auto t3 = Clock::now();
    const fwdl::Release release = fwdl::ReadRelease(argv[1], keys);
    const auto t4 = Clock::now();
    if (release.check != fwdl::ReleaseCheck::kGood) {
      std::fprintf(stderr, "not a good release: %s\n", release.why.c_str());
      return 1;
    }
    read += ms(t1 - t0), hash += ms(t2 - t1), verify += ms(t3 - t2), whole += ms(t4 - t3);
  }
  std::printf("%d runs, averages: read %.1f ms, SHA-256 %.1f ms, signature checked over the "
              "bytes %.1f ms (ECDSA alone %.1f ms), ReadRelease as a whole %.1f ms\n",
              runs, read / runs, hash / runs, verify / runs, (verify - hash) / runs, whole / runs);
  return 0;
}
