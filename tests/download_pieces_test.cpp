// The pieces the downloads are built from: the HEX reader's rules, the
// progress figure, the escape encoding.
#include <gtest/gtest.h>

#include <filesystem>

#include "download/escape.h"
#include "download/firmware_file.h"
#include "download/progress.h"
#include "support/rig.h"

namespace fwdl {
namespace {

using testing::TempFile;

std::string ReadAll(HexFile& file) {
  std::string sent;
  for (int c = file.Get(); c >= 0; c = file.Get()) sent += static_cast<char>(c);
  return sent;
}

struct HexCase {
  const char* what;
  std::string stored;
  std::string sent;  // what the loader gets
};

TEST(HexFile, ReadsTheSameOnEverySystem) {
  const HexCase cases[] = {
      {"CR LF line ends become LF", ":10\r\n:00\r\n", ":10\n:00\n"},
      {"a leading CR is skipped", "\r:00\r\n", ":00\n"},
      {"every CR is left out, also alone", ":1\r2\r\r3\n", ":123\n"},
      {"Ctrl-Z ends the content", ":10\r\n\x1A:junk\r\n", ":10\n"},
      {"high bytes and LF pass unchanged", ":\xE5\xFF\n\n", ":\xE5\xFF\n\n"},
      {"empty", "", ""},
      {"only CRs", "\r\r\r", ""},
  };
  for (const HexCase& c : cases) {
    TempFile stored(c.stored);
    HexFile file;
    ASSERT_TRUE(file.Open(stored.path)) << c.what;
    EXPECT_EQ(ReadAll(file), c.sent) << c.what;
    EXPECT_EQ(file.Get(), -1) << c.what << ": stays at its end";
    // The size is the stored one, and measuring starts the reading anew.
    EXPECT_EQ(file.Size(), c.stored.size()) << c.what;
    EXPECT_EQ(ReadAll(file), c.sent) << c.what << ": after measuring";
  }
}

TEST(FirmwareFile, OpensOnlyRegularFiles) {
  TempFile stored("x");
  FirmwareFile file;
  EXPECT_TRUE(file.Open(stored.path));
  FirmwareFile missing, folder;
  EXPECT_FALSE(missing.Open(stored.path + ".missing"));
  EXPECT_FALSE(folder.Open(std::filesystem::path(stored.path).parent_path().string()));
}

TEST(Progress, PrintsTheRoundedFigure) {
  struct {
    std::uint64_t sent, total;
    const char* text;
  } const cases[] = {
      {0, 5000, "0% done"},        {1024, 5000, "20% done"},  {2048, 5000, "41% done"},
      {3072, 5000, "61% done"},    {4096, 5000, "82% done"},  {5000, 5000, "100% done"},
      {1024, 1025, "100% done"},   {1, 3, "33% done"},        {2, 3, "67% done"},
      {4214, 4300, "98% done"},
      // Past 16,777,216 bytes a single-precision count stops growing.
      {20'000'000, 40'000'000, "50% done"}, {33'554'431, 33'554'432, "100% done"},
      {0, 0, "0% done"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ((Progress{c.total, c.sent}.Text()), c.text) << c.sent << "/" << c.total;
  }
}

TEST(Pace, CountsOnlyBytesThatLeftAndNeverPassesTheLine) {
  constexpr std::optional<double> kNone;
  constexpr std::optional<std::uint64_t> kNoTime;
  struct {
    const char* what;
    std::uint64_t sent, queued, total;
    double seconds;
    std::uint32_t line;  // bytes a second
    std::optional<double> rate;
    std::optional<std::uint64_t> left_s;
  } const cases[] = {
      {"nothing in the first second", 5000, 0, 57600, 0.99, 5760, kNone, kNoTime},
      {"a second in, at the line's pace", 5760, 0, 57600, 1, 5760, 5760, 9},
      {"the driver's queue taken off", 28800, 4000, 57600, 5, 5760, 4960, 7},
      {"what a buffer took at once is capped", 14336, 0, 300326, 1.2, 5760, 5760, 50},
      {"a slower line caps lower", 20000, 0, 100000, 2, 960, 960, 83},
      {"a queue larger than the count", 1000, 4096, 57600, 2, 5760, 0, kNoTime},
      {"held by XOFF from the start", 0, 0, 57600, 3, 5760, 0, kNoTime},
      {"all gone", 57600, 0, 57600, 20, 5760, 2880, 0},
  };
  for (const auto& c : cases) {
    const Pace pace = PaceOf(c.sent, c.queued, c.total, c.seconds, c.line);
    EXPECT_EQ(pace.rate, c.rate) << c.what;
    EXPECT_EQ(pace.left_s, c.left_s) << c.what;
  }
}

TEST(Escape, EncodesTheFlowControlBytesAndItself) {
  struct {
    std::uint8_t byte;
    std::vector<std::uint8_t> line;
  } const cases[] = {
      {0x11, {0x1B, 0x10, 0x01}}, {0x13, {0x1B, 0x10, 0x03}}, {0x1B, {0x1B, 0x10, 0x0B}},
      {0x10, {0x10}}, {0x01, {0x01}}, {0x03, {0x03}}, {0x0B, {0x0B}},
      {0x00, {0x00}}, {0x12, {0x12}}, {0x1A, {0x1A}}, {0x31, {0x31}}, {0xFF, {0xFF}},
  };
  for (const auto& c : cases) {
    const LineBytes out = Escape(c.byte);
    EXPECT_EQ(std::vector<std::uint8_t>(out.bytes.begin(), out.bytes.begin() + out.size), c.line)
        << static_cast<int>(c.byte);
  }
  int escaped = 0;
  for (int b = 0; b < 256; ++b) escaped += Escape(static_cast<std::uint8_t>(b)).size == 3;
  EXPECT_EQ(escaped, 3);
}

}  // namespace
}  // namespace fwdl
