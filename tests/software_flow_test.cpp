// XON/XOFF kept by the program, as plain data on a made-up clock.
#include "platform/software_flow.h"

#include <gtest/gtest.h>

namespace fwdl {
namespace {

using namespace std::chrono_literals;
using Clock = SoftwareFlow::Clock;

TEST(SoftwareFlow, TakesXonAndXoffOutAndKeepsTheRestInOrder) {
  SoftwareFlow flow(5760);
  flow.Received("ab\x13" "cd", 5);
  EXPECT_TRUE(flow.held());
  flow.Received("\x11" "e", 2);
  EXPECT_FALSE(flow.held());
  EXPECT_EQ(flow.pending(), 5u);
  char out[8] = {};
  EXPECT_EQ(flow.Take(out, 2), 2u);
  flow.Received("f\x13", 2);
  EXPECT_EQ(flow.Take(out + 2, 8), 4u);
  EXPECT_EQ(std::string(out, 6), "abcdef");
  EXPECT_TRUE(flow.held());
  flow.Resume();
  EXPECT_FALSE(flow.held());
}

TEST(SoftwareFlow, KeepsAtMostAFewBytesBelowAndNoCreditBuildsUp) {
  SoftwareFlow flow(5760);  // a byte every 173.6 us
  const Clock::time_point start{};
  EXPECT_EQ(flow.Room(start, 0), SoftwareFlow::kMostQueued);
  flow.Wrote(start, SoftwareFlow::kMostQueued);
  EXPECT_EQ(flow.Room(start, 0), 0u);
  // 16 bytes' worth of line time later, 16 bytes have gone out.
  const auto later = start + 2778us;
  EXPECT_EQ(flow.InFlight(later), 16u);
  EXPECT_EQ(flow.Room(later, 0), 16u);
  EXPECT_LE(flow.NextBurst(start, SoftwareFlow::kMostQueued), later);
  EXPECT_EQ(flow.Room(later, 30), 2u) << "the driver's own queue counts too";
  // A line idle (or held) for a minute has sent what it had, and no more.
  const auto idle = start + 60s;
  EXPECT_EQ(flow.Room(idle, 0), SoftwareFlow::kMostQueued);
  flow.Wrote(idle, SoftwareFlow::kMostQueued);
  EXPECT_EQ(flow.Room(idle, 0), 0u);
  flow.Received("\x13", 1);
  EXPECT_EQ(flow.Room(idle + 1s, 0), 0u) << "nothing goes out while held";
}

}  // namespace
}  // namespace fwdl
