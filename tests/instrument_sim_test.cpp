// The simulated instrument's receive buffer on a fake clock, and what a loss
// does to the image or HEX file being received.
#include <gtest/gtest.h>

#include <tuple>

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
      // taken, level, hold, lost, most after an XOFF
      EXPECT_EQ(std::make_tuple(taken, buffer.level(), buffer.WantsHold(), buffer.lost(),
                                buffer.most_after_xoff()),
                std::make_tuple(s.taken, s.level, s.hold, s.lost, s.most_after_xoff))
          << script.what << ", at " << s.at << " ms";
    }
  }
}

TEST(RxBuffer, MarksWhereTheStreamLostBytes) {
  RxBuffer buffer(kOneAMilli);
  std::string bytes;
  for (int i = 0; i < 1100; ++i) bytes += static_cast<char>('a' + i % 26);
  buffer.Arrive(bytes.data(), bytes.size(), 0);  // the last 76 are lost
  buffer.Arrive("!", 1, 1);                      // one byte has room again
  std::vector<std::pair<std::size_t, std::string>> pieces;
  for (const auto& piece : buffer.Take(5000)) pieces.emplace_back(piece.lost_before, piece.bytes);
  EXPECT_EQ(pieces, (decltype(pieces){{0, bytes.substr(0, 1024)}, {76, "!"}}));
}

TEST(Instrument, ALossFailsTheImageOrTheHexFile) {
  for (const bool hex : {false, true}) {
    for (const bool loss : {false, true}) {
      Instrument instrument({.charger_ms = 0, .quiet_ms = 100, .flash_ms = 100});
      // The file's first line, or "SX", the header of an 8-byte image and its first half.
      const std::string dvb("SX\r\x23\x04\x78\x56\x34\x12\x08\x00\x00\x00" "abcd", 17);
      instrument.Receive(hex ? "FLY:0400000001020304F2\r\n" : dvb, 0);
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
