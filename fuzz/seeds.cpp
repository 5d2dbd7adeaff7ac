// Writes the seed corpus of the fuzz targets: the cases of the unit tests
// and pieces of examples/, each a small file. scripts/fuzz-seeds runs it:
//   fuzz_seeds EXAMPLES_DIR CORPUS_DIR
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "script.h"

namespace {

using fwdl::fuzz::Action;
using fwdl::fuzz::FileAnswer;
using fwdl::fuzz::ScriptWriter;
using fwdl::fuzz::Trigger;

std::filesystem::path corpus;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const auto folder = corpus / target;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Read(const std::filesystem::path& path, std::size_t most) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(most, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(most));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.empty()) throw std::runtime_error("cannot read " + path.string());
  return bytes;
}

std::string Record(unsigned address, unsigned type, const std::vector<unsigned>& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  char digits[16];
  std::snprintf(digits, sizeof digits, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                address & 0xFFFF, type);
  std::string record = digits;
  for (const unsigned byte : data) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
    record += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return record + digits;
}

std::string Data(unsigned address, unsigned count = 16) {
  std::vector<unsigned> bytes;
  for (unsigned i = 0; i < count; ++i) bytes.push_back((i * 37 + address) & 0xFF);
  return Record(address, 0, bytes);
}

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const std::string kEnd = ":00000001FF";
// The HEX download tests' small file.
const std::string kHex = ":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n";

std::string Byte(unsigned value) { return std::string(1, static_cast<char>(value)); }

// HEX: a loader that wakes at the first ping, answers the probe and gives
// the verdict `verdict` (a phrase) 300 ms after "Y".
ScriptWriter Loader(const std::string& file, unsigned verdict, unsigned probe = 0) {
  ScriptWriter w(true, false, 0, 100);
  w.File(file)
      .Step(Trigger::kByte, 'F', 0, Action::kPhrase, Byte(2))
      .Step(Trigger::kByte, '\r', 0, Action::kPhrase, Byte(probe));
  if (verdict < 255) w.Step(Trigger::kByte, 'Y', 30, Action::kPhrase, Byte(verdict));
  return w;
}

void HexDownloadSeeds(const std::string& demo_hex) {
  const std::string t = "hex_download";
  Seed(t, "success", Loader(kHex, 4).bytes());
  Seed(t, "error-verdict", Loader(kHex, 5).bytes());
  Seed(t, "short-answer", Loader(kHex, 6).bytes());
  Seed(t, "ctrl-z-ends-the-file", Loader(kHex + "\x1A:after Ctrl-Z\r\n", 4).bytes());
  Seed(t, "demo-head", Loader(demo_hex, 4).bytes());
  Seed(t, "probe-answered-otherwise", Loader(kHex, 4, 7).bytes());
  Seed(t, "not-hex", Loader("X:10\r\n", 255).bytes());
  Seed(t, "gone-mid-file",
       Loader(kHex, 255).Step(Trigger::kBytes, 30, 0, Action::kGone).bytes());
  Seed(t, "held-mid-file",
       Loader(kHex, 255)
           .Step(Trigger::kBytes, 20, 0, Action::kHold, Byte(9))
           .Step(Trigger::kAtOnce, 0, ScriptWriter::DelayMs(4000), Action::kPhrase, Byte(4))
           .bytes());
  Seed(t, "busy-in-the-search",
       ScriptWriter(true, false, 0, 100).File(kHex)
           .Step(Trigger::kAtOnce, 0, 12, Action::kBusy, Byte(19))
           .Step(Trigger::kByte, 'F', 0, Action::kPhrase, Byte(2))
           .Step(Trigger::kByte, '\r', 0, Action::kPhrase, Byte(0))
           .Step(Trigger::kByte, 'Y', 30, Action::kPhrase, Byte(4))
           .bytes());
  Seed(t, "no-prompt",
       ScriptWriter(true, false, 0, 50).File(kHex)
           .Step(Trigger::kByte, 'F', 0, Action::kBytes, Byte(6) + "loader")
           .bytes());
  Seed(t, "search-aborted", ScriptWriter(true, false, 0, 10).File(kHex).bytes());
  Seed(t, "abort-pressed",
       ScriptWriter(true, false, 0, 200).File(kHex)
           .Step(Trigger::kAtOnce, 0, 150, Action::kAbort)
           .bytes());
  Seed(t, "flood-in-the-search",
       ScriptWriter(true, false, 5, 30).CancelDialog()
           .Step(Trigger::kByte, 'F', 0, Action::kFlood, Byte(59) + "A")
           .bytes());
  Seed(t, "dialog-cancelled",
       ScriptWriter(true, false, 0, 100).CancelDialog()
           .Step(Trigger::kByte, 'F', 0, Action::kPhrase, Byte(2))
           .bytes());
  Seed(t, "instructions-cancelled", ScriptWriter(true, true, 0, 0).CancelDialog().bytes());
  Seed(t, "no-port", ScriptWriter(false, false, 0, 0).CancelDialog().bytes());
}

// DVB: an instrument that prompts, gives the go-ahead and reports success.
ScriptWriter Receiver(const std::string& image, bool go_ahead = true, std::uint16_t size = 0) {
  ScriptWriter w(true, false, 0, 0);
  w.File(image, size).Step(Trigger::kByte, '\r', 0, Action::kPhrase, Byte(0));
  if (go_ahead) w.Step(Trigger::kByte, '\r', 0, Action::kPhrase, Byte(1));
  return w;
}

void DvbDownloadSeeds(const std::string& demo_bin) {
  const std::string t = "dvb_download";
  const auto flashed = [](ScriptWriter w) {
    return w.Step(Trigger::kAtOnce, 0, ScriptWriter::DelayMs(3000), Action::kPhrase, Byte(3));
  };
  Seed(t, "success", flashed(Receiver(demo_bin, true, 3000)).bytes());
  Seed(t, "two-chunks", flashed(Receiver(demo_bin, true, 1025)).bytes());
  Seed(t, "no-report", Receiver("image").bytes());
  Seed(t, "no-go-ahead", Receiver("image", false).bytes());
  Seed(t, "report-split",
       Receiver("image")
           .Step(Trigger::kAtOnce, 0, 150, Action::kBytes,
                 Byte(13) + std::string("\0Flashed succ", 13))
           .Step(Trigger::kAtOnce, 0, 100, Action::kBytes, Byte(11) + "essfully...")
           .bytes());
  Seed(t, "held-then-exit",
       Receiver(demo_bin, true, 4096)
           .Step(Trigger::kManyBytes, 46, 0, Action::kHold, Byte(20))
           .Step(Trigger::kAtOnce, 0, 50, Action::kExit)
           .bytes());
  Seed(t, "busy-mid-image",
       flashed(Receiver(demo_bin, true, 3000)
                   .Step(Trigger::kManyBytes, 20, 0, Action::kBusy, Byte(9)))
           .bytes());
  Seed(t, "gone-mid-image",
       Receiver(demo_bin, true, 4096).Step(Trigger::kManyBytes, 20, 0, Action::kGone).bytes());
  Seed(t, "flood-in-the-search",
       ScriptWriter(true, false, 5, 0).CancelDialog()
           .Step(Trigger::kAtOnce, 0, 5, Action::kFlood, Byte(60) + "A")
           .bytes());
  Seed(t, "bad-waiting-count",
       ScriptWriter(true, false, 0, 0).CancelDialog()
           .Step(Trigger::kAtOnce, 0, 5, Action::kBadCount, Byte(0x61) + Byte(0xEA))
           .bytes());
  Seed(t, "read-overrun",
       ScriptWriter(true, false, 0, 0).CancelDialog()
           .Step(Trigger::kAtOnce, 0, 0, Action::kReadOverrun, Byte(200))
           .Step(Trigger::kAtOnce, 0, 0, Action::kPhrase, Byte(0))
           .bytes());
  Seed(t, "empty-file", Receiver("").bytes());
  for (const auto& [name, answer] : {std::pair{"missing-file", FileAnswer::kMissing},
                                     std::pair{"folder", FileAnswer::kFolder}}) {
    Seed(t, name,
         ScriptWriter(true, false, 0, 0)
             .Dialog(answer)
             .Step(Trigger::kByte, '\r', 0, Action::kPhrase, Byte(0))
             .bytes());
  }
  Seed(t, "instructions-cancelled", ScriptWriter(true, true, 0, 0).CancelDialog().bytes());
  Seed(t, "no-port", ScriptWriter(false, false, 0, 0).CancelDialog().bytes());
}

void HexCheckSeeds(const std::string& demo_hex) {
  const std::string rec = Data(0);
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"lf", rec + "\n" + Data(0x10) + "\n" + kEnd + "\n"},
      {"crlf-lowercase-no-last-line-end", rec + "\r\n" + Lowercase(Data(0x10)) + "\r\n" + kEnd},
      {"linear", Record(0, 4, {0x08, 0x00}) + "\n" + Data(0x1000) + "\n" + rec + "\n" + kEnd},
      {"segment", Record(0, 2, {0x10, 0x00}) + "\n" + Data(0x20, 4) + "\n" + kEnd},
      {"offset-wraps", Data(0xFFF8) + "\n" + kEnd},
      {"linear-wraps", Record(0, 4, {0xFF, 0xFF}) + "\n" + Data(0xFFF8) + "\n" + kEnd},
      {"overlaps", rec + "\n" + Data(0x08) + "\n" + Data(0x00, 4) + "\n" + kEnd},
      {"start-addresses-and-tail", Record(0, 3, {0, 0, 1, 0}) + "\n" + Record(0, 5, {0, 0, 1, 0}) +
                                       "\n" + rec + "\n" + kEnd + "\r\n\n\x1A\x1A"},
      {"ctrl-z-after-end", rec + "\n" + kEnd + "\x1A"},
      {"bad-checksum", rec + "\n" + Data(0x10).substr(0, 41) + "00\n" + kEnd},
      {"blank-line", rec + "\r\n\r\n" + kEnd},
      {"lone-cr", rec + "\r" + rec + "\n" + kEnd},
      {"second-end", rec + "\n" + kEnd + "\n" + kEnd + "\n"},
      {"no-data", Record(0, 4, {0, 0}) + "\n" + kEnd + "\n"},
      {"demo-head", demo_hex},
  };
  for (const auto& [name, text] : texts) Seed("hex_check", name, text);
}

void FirmwareFileSeeds(const std::string& demo_hex, const std::string& demo_bin) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"crlf", ":10\r\n:00\r\n"},
      {"leading-cr", "\r:00\r\n"},
      {"every-cr", ":1\r2\r\r3\n"},
      {"ctrl-z", ":10\r\n\x1A:junk\r\n"},
      {"high-bytes", ":\xE5\xFF\n\n"},
      {"only-crs", "\r\r\r"},
      {"test-hex", kHex + "\x1A:after Ctrl-Z\r\n"},
      {"demo-head", demo_hex},
      {"demo-bin-head", demo_bin},
  };
  for (const auto& [name, bytes] : files) Seed("firmware_file", name, bytes);
}

// A key made by openssl, its DER, and its signature over "firmware" (as
// signature_fuzz.cpp checks it), good and with a byte after it.
void SignatureSeeds() {
  const std::string pem =
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAExSBJpv0UMDshjXjzHAFpF1F2rH6a\n"
      "fI5ATatxcP31Hxta/7wjzk+8Oh/RuOHuZyPaLIWhuxQqFYHshfycCXtCxg==\n"
      "-----END PUBLIC KEY-----\n";
  const unsigned char der[] = {
      0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08,
      0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04, 0xc5, 0x20, 0x49,
      0xa6, 0xfd, 0x14, 0x30, 0x3b, 0x21, 0x8d, 0x78, 0xf3, 0x1c, 0x01, 0x69, 0x17, 0x51, 0x76,
      0xac, 0x7e, 0x9a, 0x7c, 0x8e, 0x40, 0x4d, 0xab, 0x71, 0x70, 0xfd, 0xf5, 0x1f, 0x1b, 0x5a,
      0xff, 0xbc, 0x23, 0xce, 0x4f, 0xbc, 0x3a, 0x1f, 0xd1, 0xb8, 0xe1, 0xee, 0x67, 0x23, 0xda,
      0x2c, 0x85, 0xa1, 0xbb, 0x14, 0x2a, 0x15, 0x81, 0xec, 0x85, 0xfc, 0x9c, 0x09, 0x7b, 0x42,
      0xc6};
  const unsigned char sig[] = {
      0x30, 0x45, 0x02, 0x21, 0x00, 0xdf, 0x0c, 0xc7, 0xe2, 0x49, 0x89, 0x32, 0x19, 0x08, 0x9e,
      0xa1, 0x38, 0x6d, 0x3f, 0x4d, 0xd3, 0xcf, 0xcf, 0xa1, 0xe4, 0x65, 0x87, 0xfe, 0x7a, 0xf9,
      0x16, 0xff, 0x10, 0xec, 0xf1, 0x7a, 0x95, 0x02, 0x20, 0x38, 0xf3, 0x4b, 0xc4, 0x9a, 0x79,
      0x0d, 0x13, 0xb9, 0x51, 0x90, 0x37, 0x53, 0xa8, 0xd8, 0xfb, 0x91, 0xbe, 0xc2, 0xf8, 0x52,
      0x95, 0xad, 0x52, 0x28, 0x10, 0x12, 0xf7, 0x49, 0xbc, 0x15, 0xa9};
  const std::string key_der(reinterpret_cast<const char*>(der), sizeof der);
  const std::string signature(reinterpret_cast<const char*>(sig), sizeof sig);
  Seed("signature", "key-pem", std::string(1, '\0') + pem);
  Seed("signature", "key-der", "\x01" + key_der);
  Seed("signature", "good-signature", "\x02" + signature);
  Seed("signature", "trailing-byte", "\x02" + signature + std::string(1, '\0'));
}

void SimCommandSeeds() {
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"burst", "burst 60000\n"},
      {"say-xoff", "say \\x13\n"},
      {"say-malformed", "say \\xZZ\n"},
      {"say-escapes", "say Flashed successfully...\\r\\n>\\\\\\x41\n"},
      {"burst-without-count", "burst\nburst -1\nburst x\n"},
      {"unknown-then-quit", "hello\n\nsay after\nquit\nsay never\n"},
  };
  for (const auto& [name, text] : lines) Seed("sim_commands", name, text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: fuzz_seeds EXAMPLES_DIR CORPUS_DIR\n";
    return 2;
  }
  const std::filesystem::path examples = argv[1];
  corpus = argv[2];
  // Small pieces: the head of the example HEX file closed by its end record,
  // the start of the example image, which holds every byte value.
  std::istringstream hex_lines(Read(examples / "demo.hex", 1 << 20));
  std::string demo_hex, line;
  for (int i = 0; i < 8 && std::getline(hex_lines, line); ++i) demo_hex += line + "\n";
  demo_hex += kEnd + "\r\n";
  // Every byte value once; the images repeat it to their size.
  const std::string demo_bin = Read(examples / "demo.bin", 256);

  HexDownloadSeeds(demo_hex);
  DvbDownloadSeeds(demo_bin);
  HexCheckSeeds(demo_hex);
  FirmwareFileSeeds(demo_hex, demo_bin);
  SimCommandSeeds();
  SignatureSeeds();
  return 0;
}
