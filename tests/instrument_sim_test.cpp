// The simulated instrument's receive buffer on a fake clock, and what a loss
// does to the image or HEX file being received.
#include <gtest/gtest.h>

#include "instrument.h"
#include "rx_buffer.h"

namespace sim {
namespace {

// At 1000 bytes a second the flash takes one byte a millisecond; XOFF at
// 896 bytes, XON at 448.
constexpr RxBufferOptions kOneAMilli{
    .size = 1024, .flash_rate = 1000, .margin = 128, .low_mark = 448};

struct Step {
  Millis at;
  std::size_t arrive;  // bytes off the line at `at`; then the flash takes what it can
  std::size_t taken, level;
  bool hold;
  std::uint64_t lost, most_after_xoff;
};

const struct {
  const char* what;
  std::vector<Step> steps;
} kScripts[] = {
    {"fills, and drains at the flash rate",
     {{0, 100, 0, 100, false, 0, 0}, {50, 0, 50, 50, false, 0, 0}, {200, 0, 100, 0, false, 0, 0}}},
    {"an idle flash saves up no time",
     {{0, 10, 0, 10, false, 0, 0}, {1000, 10, 10, 10, false, 0, 0}, {1005, 0, 15, 5, false, 0, 0}}},
    {"XOFF at the margin, XON at the low mark",
     {{0, 895, 0, 895, false, 0, 0},
      {0, 1, 0, 896, true, 0, 0},
      {10, 10, 10, 896, true, 0, 10},
      {457, 0, 457, 449, true, 0, 10},
      {458, 0, 458, 448, false, 0, 10}}},
    {"full: what comes is lost and counted; the most after an XOFF over all holds",
     {{0, 1100, 0, 1024, true, 76, 204},
      {2000, 0, 1024, 0, false, 76, 204},
      {2000, 1000, 1024, 1000, true, 76, 204},
      {4000, 0, 2024, 0, false, 76, 204},
      {4000, 1300, 2024, 1024, true, 352, 404}}},
};

TEST(RxBuffer, FillsDrainsHoldsAndLoses) {
  for (const auto& script : kScripts) {
    RxBuffer buffer(kOneAMilli);
    std::size_t taken = 0;
    for (const Step& s : script.steps) {
      buffer.Arrive(std::string(s.arrive, 'x').data(), s.arrive, s.at);
      for (const auto& piece : buffer.Take(s.at)) taken += piece.bytes.size();
      const std::string at = std::string(script.what) + ", at " + std::to_string(s.at) + " ms";
      EXPECT_EQ(taken, s.taken) << at;
      EXPECT_EQ(buffer.level(), s.level) << at;
      EXPECT_EQ(buffer.WantsHold(), s.hold) << at;
      EXPECT_EQ(buffer.lost(), s.lost) << at;
      EXPECT_EQ(buffer.most_after_xoff(), s.most_after_xoff) << at;
    }
  }
}

TEST(RxBuffer, MarksWhereTheStreamLostBytes) {
  RxBuffer buffer(kOneAMilli);
  std::string bytes;
  for (int i = 0; i < 1100; ++i) bytes += static_cast<char>('a' + i % 26);
  buffer.Arrive(bytes.data(), bytes.size(), 0);  // the last 76 are lost
  buffer.Arrive("!", 1, 1);                      // one byte has room again
  const auto pieces = buffer.Take(5000);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].lost_before, 0u);
  EXPECT_EQ(pieces[0].bytes, bytes.substr(0, 1024));
  EXPECT_EQ(pieces[1].lost_before, 76u);
  EXPECT_EQ(pieces[1].bytes, "!");
  EXPECT_EQ(buffer.holds(), 1u);
}

// "SX\r", the header, and the first half of an image of `size` bytes.
std::string DvbStart(std::uint32_t size, const std::string& half) {
  std::string header = {0x23, 0x04, 0x78, 0x56, 0x34, 0x12};
  for (int k = 0; k < 4; ++k) header += static_cast<char>(size >> (8 * k) & 0xFF);
  return "SX\r" + header + half;
}

TEST(Instrument, ALossFailsTheImageOrTheHexFile) {
  for (const bool hex : {false, true}) {
    for (const bool loss : {false, true}) {
      Instrument instrument({.charger_ms = 0, .quiet_ms = 100, .flash_ms = 100});
      instrument.Receive(hex ? "FLY:0400000001020304F2\r\n" : DvbStart(8, "abcd"), 0);
      if (loss) instrument.Lost(3, 10);
      instrument.Receive(hex ? ":00000001FF\r\n" : "efgh", 10);
      const std::string said = instrument.TakeOutput(1000) + instrument.TakeOutput(2000);
      const std::string success = hex ? "Firmware programmed OK" : "Flashed successfully...";
      EXPECT_EQ(said.find(success) == std::string::npos, loss) << (hex ? "HEX" : "DVB") << said;
      EXPECT_EQ(said.find("?Checksum error") != std::string::npos, hex && loss) << said;
    }
  }
}

}  // namespace
}  // namespace sim
