// Signed releases end to end: keys and signatures made by the openssl
// command, fwdl --trust against the simulated instrument on a
// pseudo-terminal. Every refusal says why, ends with file_untrusted (exit
// code 5) and puts nothing on the line; a good release is flashed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "support/rig.h"
#include "support/sim_process.h"

namespace fwdl {
namespace {

namespace fs = std::filesystem;
using testing::SimProcess;

struct Ran {
  int code = -1;
  std::string output;  // standard output and error
};

// A command through the shell, with nothing on its standard input.
Ran Shell(const std::string& command) {
  Ran ran;
  FILE* pipe = popen(("(" + command + ") </dev/null 2>&1").c_str(), "r");
  if (!pipe) return ran;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.output.append(buffer, got);
  const int status = pclose(pipe);
  ran.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Slurp(const fs::path& path) { return SimProcess::Slurp(path.string()); }

// A folder with a release key, another P-256 key and a P-384 key, made by
// openssl as a release engineer makes them.
class Releases : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testing::TempFile("", "keys");
    for (const auto& [name, curve] : {std::pair{"release", "prime256v1"},
                                      std::pair{"other", "prime256v1"},
                                      std::pair{"p384", "secp384r1"}}) {
      const fs::path key = Keys() / (std::string(name) + "-key.pem");
      const fs::path pub = Keys() / (std::string(name) + ".pub");
      ASSERT_EQ(Shell(std::string(OPENSSL_PATH " ecparam -genkey -noout -name ") + curve +
                      " -out " + Quote(key)).code, 0);
      ASSERT_EQ(Shell(OPENSSL_PATH " ec -pubout -in " + Quote(key) + " -out " + Quote(pub)).code, 0);
    }
  }
  static void TearDownTestSuite() { delete folder_; }
  static fs::path Keys() { return fs::path(folder_->path).parent_path(); }

  // Signs `file` with the key `name` into `sig`, as openssl dgst does.
  static void Sign(const std::string& name, const fs::path& file, const fs::path& sig) {
    ASSERT_EQ(Shell(OPENSSL_PATH " dgst -sha256 -sign " + Quote(Keys() / (name + "-key.pem")) +
                    " -out " + Quote(sig) + " " + Quote(file)).code, 0);
  }
  // The fingerprint as openssl computes it: SHA-256 of the DER public key.
  static std::string Fingerprint(const std::string& name) {
    const Ran ran = Shell(OPENSSL_PATH " pkey -pubin -outform DER -in " +
                          Quote(Keys() / (name + ".pub")) + " | " OPENSSL_PATH " dgst -sha256 -r");
    return ran.output.substr(0, 16);
  }

  static testing::TempFile* folder_;
};
testing::TempFile* Releases::folder_ = nullptr;

struct Refusal {
  const char* what;
  // Spoils the signed release (fw.bin, fw.bin.sig) in its folder.
  std::function<void(const fs::path& bin, const fs::path& sig)> spoil;
  const char* why;  // in the line that refuses it
  const char* key = "release.pub";
};

TEST_F(Releases, EachRefusalSaysWhyAndNothingGoesOnTheLine) {
  const std::string image = testing::EveryByteImage(3000);
  const Refusal refusals[] = {
      {"one byte changed", [](auto& bin, auto&) { Write(bin, "X" + Slurp(bin).substr(1)); },
       "the file changed since it was signed"},
      {"a byte added", [](auto& bin, auto&) { Write(bin, Slurp(bin) + "X"); },
       "the file changed since it was signed"},
      {"truncated", [](auto& bin, auto&) { Write(bin, Slurp(bin).substr(0, 2999)); },
       "the file changed since it was signed"},
      {"another file's signature",
       [](auto& bin, auto& sig) {
         const fs::path another = bin.parent_path() / "another.bin";
         Write(another, "another image");
         Sign("release", another, sig);
       },
       "the signature is of another file"},
      {"another key",
       [](auto& bin, auto& sig) {
         Sign("other", bin, sig);
         fs::copy_file(Keys() / "other.pub", bin.parent_path() / "other.pub");
       },
       "signed by another key, "},
      {"no signature", [](auto&, auto& sig) { fs::remove(sig); }, "no signature beside the file (fw.bin.sig)"},
      {"empty signature", [](auto&, auto& sig) { Write(sig, ""); }, "the signature is empty"},
      {"garbled signature", [](auto&, auto& sig) { Write(sig, "MEUCIQD+garbled+base64+signature==\n"); },
       "the signature is not DER"},
      {"trailing bytes after the DER signature",
       [](auto&, auto& sig) { Write(sig, Slurp(sig) + std::string(1, '\0')); },
       "has bytes after its DER"},
      {"a key of another curve", [](auto&, auto&) {}, "a key on another curve (not P-256)", "p384.pub"},
  };
  SimProcess sim(fs::path(folder_->path).parent_path().string(), {"--flash-ms", "100"});
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    testing::TempFile bin(image, "fw.bin");
    const fs::path sig = bin.path + ".sig";
    Sign("release", bin.path, sig);
    r.spoil(bin.path, sig);
    const fs::path record = fs::path(bin.path).parent_path() / "record.jsonl";
    const Ran ran = Shell(FWDL_PATH " dvb --yes --port " + sim.path + " --trust " +
                          Quote(Keys() / r.key) + " --record " + Quote(record) + " " +
                          Quote(bin.path));
    EXPECT_EQ(ran.code, 5) << ran.output;
    EXPECT_NE(ran.output.find("fw.bin: not signed by a trusted key: "), std::string::npos) << ran.output;
    EXPECT_NE(ran.output.find(r.why), std::string::npos) << ran.output;
    EXPECT_NE(ran.output.find("the file is not signed by a trusted key (exit code 5)"),
              std::string::npos) << ran.output;
    EXPECT_EQ(ran.output.find("Turn on"), std::string::npos) << "an instruction shown";
    const auto line = nlohmann::json::parse(Slurp(record));
    EXPECT_EQ(line["outcome"], "file_untrusted");
    EXPECT_TRUE(line["firmware"]["signed_by"].is_null());
    EXPECT_EQ(sim.Received(), "") << "bytes on the line";
    if (std::string(r.what) == "another key") {
      EXPECT_NE(ran.output.find(Fingerprint("other")), std::string::npos) << ran.output;
    }
  }
}

// A good release among several trusted keys is flashed, byte for byte, and
// the record names its signer; fwdl check names it too.
TEST_F(Releases, AGoodReleaseIsFlashedAndItsSignerRecorded) {
  const std::string image = testing::EveryByteImage(3000);
  testing::TempFile bin(image, "fw.bin");
  Sign("release", bin.path, bin.path + ".sig");
  const std::string trust =
      " --trust " + Quote(Keys() / "other.pub") + " --trust " + Quote(Keys() / "release.pub") + " ";
  const std::string fingerprint = Fingerprint("release");

  const Ran check = Shell(FWDL_PATH " check" + trust + Quote(bin.path));
  EXPECT_EQ(check.code, 0) << check.output;
  EXPECT_NE(check.output.find("signature: good, key " + fingerprint + "\n"), std::string::npos)
      << check.output;

  SimProcess sim(fs::path(bin.path).parent_path().string(), {"--flash-ms", "100"});
  const fs::path record = fs::path(bin.path).parent_path() / "record.jsonl";
  const Ran ran = Shell(FWDL_PATH " dvb --yes --port " + sim.path + trust + "--record " +
                        Quote(record) + " " + Quote(bin.path));
  EXPECT_EQ(ran.code, 0) << ran.output;
  EXPECT_EQ(sim.Image(), image);
  const auto line = nlohmann::json::parse(Slurp(record));
  EXPECT_EQ(line["firmware"]["signed_by"], fingerprint);
}

// The station takes the firmware only as a good release, as fwdl does.
TEST_F(Releases, TheStationRefusesAnUntrustedFirmware) {
  testing::TempFile bin(testing::EveryByteImage(3000), "fw.bin");
  Sign("other", bin.path, bin.path + ".sig");
  const Ran ran = Shell(FWDL_PATH " station --slot /dev/null --listen 127.0.0.1:0 --trust " +
                        Quote(Keys() / "release.pub") + " " + Quote(bin.path));
  EXPECT_EQ(ran.code, 5) << ran.output;
  EXPECT_NE(ran.output.find("fw.bin: not signed by a trusted key: the file changed since it was signed"),
            std::string::npos) << ran.output;
}

}  // namespace
}  // namespace fwdl
