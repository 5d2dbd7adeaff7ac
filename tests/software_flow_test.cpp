// XON/XOFF kept by the program: the flow state as plain data, and the flow
// writer over a made-up port on a made-up clock.
#include "platform/software_flow.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/flow_writer.h"

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
  // A burst's worth of line time later, a burst has gone out.
  const auto later = start + SoftwareFlow::kBurst * 173612ns;
  EXPECT_EQ(flow.InFlight(later), SoftwareFlow::kMostQueued - SoftwareFlow::kBurst);
  EXPECT_EQ(flow.Room(later, 0), SoftwareFlow::kBurst);
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

// A port whose driver passes XON and XOFF up and sends what it takes at
// the line's pace, on a clock that only the port's own waits move. The
// instrument's bytes arrive at set times; what went out is logged with the
// time it reached the line's far end.
class FakeLine final : public RawPort {
 public:
  explicit FakeLine(std::uint32_t bytes_per_second) : byte_time_(1'000'000'000 / bytes_per_second) {}

  Clock::time_point Now() const override { return now_; }
  void Arrive(Clock::duration at, std::string bytes) { input_[Clock::time_point{} + at] += bytes; }

  PortResult Waiting() override {
    Deliver();
    return {static_cast<std::uint32_t>(received_.size()), {}};
  }
  PortResult Read(void* data, std::uint32_t count) override {
    Deliver();
    if (gone_) return {0, {PortError::Kind::kGone, "unplugged"}};
    const std::size_t n = std::min<std::size_t>(count, received_.size());
    received_.copy(static_cast<char*>(data), n);
    received_.erase(0, n);
    return {static_cast<std::uint32_t>(n), {}};
  }
  PortResult Write(const void* data, std::uint32_t count, Clock::time_point until) override {
    ++write_calls;
    shortest_spare = std::min(shortest_spare, until - now_ - count * byte_time_);
    if (gone_) return {0, {PortError::Kind::kGone, "unplugged"}};
    if (now_ < refuse_until) return {};
    const auto* bytes = static_cast<const char*>(data);
    for (std::uint32_t i = 0; i < count; ++i) {
      line_free_ = std::max(line_free_, now_) + byte_time_;
      sent.push_back({line_free_, bytes[i]});
    }
    return {count, {}};
  }
  std::uint32_t OutputQueued() override { return 0; }  // as a pseudo-terminal tells it
  PortError WaitForInput(Clock::time_point until) override {
    const auto next = input_.upper_bound(now_);
    now_ = std::max(now_, next != input_.end() && next->first < until ? next->first : until);
    return {};
  }

  struct Sent {
    Clock::time_point at;
    char byte;
  };
  std::vector<Sent> sent;
  int write_calls = 0;
  // The least time a write left the driver beyond its bytes' time on the line.
  Clock::duration shortest_spare = Clock::duration::max();
  Clock::time_point refuse_until{};  // the driver takes nothing before then
  bool gone_ = false;

 private:
  void Deliver() {
    for (auto it = input_.begin(); it != input_.end() && it->first <= now_;) {
      received_ += it->second;
      it = input_.erase(it);
    }
  }
  std::chrono::nanoseconds byte_time_;
  Clock::time_point now_{}, line_free_{};
  std::map<Clock::time_point, std::string> input_;
  std::string received_;
};

std::string Letters(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::string SentText(const FakeLine& line) {
  std::string text;
  for (const auto& s : line.sent) text += s.byte;
  return text;
}

// An XOFF in the middle of a run stops the writer within what it keeps
// below it; the XON lets the rest follow, in order, each byte once; and the
// writes are few: a burst at a time, not a byte as soon as one has gone.
TEST(FlowWriter, HoldsOnXoffWithinAFewBytesAndWritesInBursts) {
  FakeLine line(5760);
  FlowWriter writer(line, 5760);
  const std::string run = Letters(2000);
  line.Arrive(100ms, "\x13");
  line.Arrive(600ms, "\x11");
  std::uint32_t written = 0;
  while (written < run.size()) {
    const PortResult r = writer.Write(run.data() + written, run.size() - written, line.Now() + 20ms);
    ASSERT_FALSE(r.error.failed());
    written += r.count;
  }
  EXPECT_EQ(SentText(line), run) << "lost, changed or repeated";
  std::size_t after_xoff = 0;
  for (const auto& s : line.sent) {
    if (s.at > Clock::time_point{} + 100ms && s.at < Clock::time_point{} + 600ms) ++after_xoff;
  }
  EXPECT_LE(after_xoff, SoftwareFlow::kMostQueued) << "went on writing under XOFF";
  EXPECT_GT(after_xoff, 0u) << "what the line had taken still went out";
  EXPECT_LE(line.write_calls, static_cast<int>(run.size() / SoftwareFlow::kBurst + 2));
  // A driver cut short may lose count of bytes already sent: each write
  // leaves it the time its bytes need.
  EXPECT_GE(line.shortest_spare, Clock::duration::zero());
  // No faster than the line, and no slower than it beyond the hold (which
  // the bytes already below us partly fill).
  const auto took = line.sent.back().at - Clock::time_point{};
  EXPECT_GE(took, 500ms + (2000 - SoftwareFlow::kMostQueued) * 173us);
  EXPECT_LE(took, 500ms + 2000 * 177us + 10ms);
}

// A driver that takes nothing for a while: the write returns at its
// deadline with what went out, and the next one goes on from there.
TEST(FlowWriter, ADriverThatTakesNothingEndsTheWriteAtItsDeadline) {
  FakeLine line(5760);
  FlowWriter writer(line, 5760);
  line.refuse_until = Clock::time_point{} + 50ms;
  const std::string run = Letters(100);
  const PortResult first = writer.Write(run.data(), 100, line.Now() + 20ms);
  EXPECT_EQ(first.count, 0u);
  EXPECT_FALSE(first.error.failed());
  EXPECT_GE(line.Now(), Clock::time_point{} + 20ms);
  std::uint32_t written = 0;
  while (written < run.size()) {
    written += writer.Write(run.data() + written, 100 - written, line.Now() + 20ms).count;
  }
  EXPECT_EQ(SentText(line), run);
}

// What the instrument sends reaches the reader without XON and XOFF; a
// device that goes in the middle of a write says so with what went out.
TEST(FlowWriter, HandsUpTheInputWithoutXonXoffAndReportsAGoneDevice) {
  FakeLine line(5760);
  FlowWriter writer(line, 5760);
  line.Arrive(0ms, "ab\x13" "cd\x11" "e");
  EXPECT_EQ(writer.Waiting().count, 5u);
  char in[8] = {};
  EXPECT_EQ(std::string(in, writer.Read(in, sizeof in).count), "abcde");
  EXPECT_FALSE(writer.held());

  const std::string run = Letters(200);
  const PortResult some = writer.Write(run.data(), 200, line.Now() + 5ms);
  ASSERT_GT(some.count, 0u);
  line.gone_ = true;
  const PortResult lost = writer.Write(run.data() + some.count, 200 - some.count, line.Now() + 20ms);
  EXPECT_TRUE(lost.lost());
  EXPECT_EQ(SentText(line), run.substr(0, some.count));
}

}  // namespace
}  // namespace fwdl
