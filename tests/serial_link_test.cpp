// The serial link on fake ports and a fake clock: port choice, the receive
// poll with its bounds, and Delay.
#include <gtest/gtest.h>

#include <optional>

#include "support/rig.h"

namespace fwdl {
namespace {

using testing::LinkRig;

class PortConnection : public ::testing::Test, public LinkRig {};

TEST_F(PortConnection, SuccessOpensSetsTheLineUpAndShowsTheButtons) {
  link.SelectPort("COM1");
  EXPECT_TRUE(link.PortOpen());
  EXPECT_TRUE(window.TimerEnabled(Timer::Timer1));
  EXPECT_TRUE(window.visible[0] && window.visible[2]);
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(window.boxes.empty());

  const LineSettings& s = *ports.device("COM1").applied;
  EXPECT_EQ(s.BaudRate, 57600u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, kNoParity);
  EXPECT_EQ(s.StopBits, kOneStopBit);
  EXPECT_TRUE(s.fBinary && s.fOutX && s.fInX);
  EXPECT_FALSE(s.fParity || s.fOutxCtsFlow || s.fOutxDsrFlow || s.fTXContinueOnXoff);
  EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
  EXPECT_EQ(s.fRtsControl, kRtsControlEnable);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(s.XoffChar, 0x13);
  EXPECT_EQ(s.XonLim, 2);
  EXPECT_EQ(s.XoffLim, 20);
}

TEST_F(PortConnection, FailureNamesThePortAndLeavesNoPortOpen) {
  ports.device("COM5").exists = false;
  link.SelectPort("COM5");
  EXPECT_FALSE(link.PortOpen());
  EXPECT_FALSE(window.TimerEnabled(Timer::Timer1));
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "ERROR, Can't use comport 'COM5'.");
  EXPECT_EQ(window.boxes[0].caption, "");
  EXPECT_EQ(window.boxes[0].details, "COM5: cannot open: " + std::string(testing::kFakeNoDevice));
  EXPECT_EQ(window.label2, "Select Port...");
  EXPECT_FALSE(window.visible[0] || window.visible[2]);
}

TEST_F(PortConnection, AFailingSecondPortStillClosesTheFirst) {
  link.SelectPort("COM1");
  ports.device("COM2").exists = false;
  link.SelectPort("COM2");
  EXPECT_FALSE(ports.device("COM1").open);
  EXPECT_FALSE(link.PortOpen());
  EXPECT_EQ(window.label2, "Select Port...");
  EXPECT_FALSE(window.TimerEnabled(Timer::Timer1));
}

TEST_F(PortConnection, ChoosingTheOpenPortAgainReopensItEmpty) {
  link.SelectPort("COM1");
  ports.Arrive("COM1", "abc");
  window.WaitForEvents();
  ASSERT_EQ(link.received().count(), 3u);
  link.SelectPort("COM1");
  EXPECT_EQ(ports.device("COM1").opens, 2);
  EXPECT_EQ(ports.device("COM1").closes, 1);
  EXPECT_TRUE(link.PortOpen());
  EXPECT_EQ(link.received().count(), 0u);
  EXPECT_TRUE(window.TimerEnabled(Timer::Timer1));
}

TEST_F(PortConnection, SettingsFailuresAreReportedButThePortCountsAsOpen) {
  // The values are written over whatever the record held before.
  ports.device("COM1").port_settings.BaudRate = 9600;
  link.SelectPort("COM1");
  ports.device("COM2").get_state_ok = false;
  ports.device("COM2").set_state_ok = false;
  ports.device("COM2").port_settings.XonLim = 999;  // never read: GetState fails
  link.SelectPort("COM2");
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.boxes[0].text, "ERROR, Can't get commport state.");
  EXPECT_EQ(window.boxes[1].text, "ERROR, Can't set commport state.");
  EXPECT_EQ(window.boxes[1].caption, "");
  EXPECT_TRUE(link.PortOpen());
  EXPECT_TRUE(window.TimerEnabled(Timer::Timer1));
  EXPECT_TRUE(window.visible[0] && window.visible[2]);
  EXPECT_EQ(window.label2, "");
  EXPECT_EQ(ports.device("COM2").applied->BaudRate, 57600u);
  EXPECT_EQ(ports.device("COM2").applied->XonLim, 2);
}

TEST_F(PortConnection, SendBytesWritesOnlyToAnOpenPort) {
  EXPECT_FALSE(link.SendBytes("F", 1));
  link.SelectPort("COM1");
  EXPECT_TRUE(link.SendBytes("SX\r", 3));
  EXPECT_EQ(ports.device("COM1").written, "SX\r");
  EXPECT_EQ(ports.device("COM1").write_calls, 1) << "one write for the whole run";
  ports.device("COM1").lost_after = 3;  // the adapter is unplugged
  EXPECT_TRUE(link.SendBytes("L", 1)) << "a failed write is not reported";
  EXPECT_FALSE(link.PortOpen()) << "a device that has gone closes the port";
  EXPECT_EQ(window.label2, "Select Port...");
  EXPECT_FALSE(link.SendBytes("Y", 1));
}

// A port in use elsewhere is refused with the fake backend's own reason,
// and its remedy below it where the backend knows one; the box's text
// stays the fixed one.
TEST_F(PortConnection, AReasonComesFromTheBackendThatSawIt) {
  ports.device("COM2").open = true;  // held by another program
  EXPECT_FALSE(link.SelectPort("COM2"));
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].details, "COM2 (fake:COM2): cannot open: " + std::string(testing::kFakeBusy));
  ports.device("COM3").open = true;
  ports.device("COM3").remedy = "close the fake terminal program";
  EXPECT_FALSE(link.SelectPort("COM3"));
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.boxes[1].text, "ERROR, Can't use comport 'COM3'.");
  EXPECT_EQ(window.boxes[1].details, "COM3 (fake:COM3): cannot open: " +
                                         std::string(testing::kFakeBusy) +
                                         "\nclose the fake terminal program");
  EXPECT_EQ(link.OpenError().remedy, "close the fake terminal program");
  link.SelectPort("COM1");
  EXPECT_FALSE(link.OpenError().failed()) << "an opened port has no open error";
}

// Unplugged while no download runs: the poll notices, and the user is told
// at once; the window shows no port.
TEST_F(PortConnection, ADeviceThatGoesWhileIdleIsReportedAtOnce) {
  link.SelectPort("COM1");
  ports.device("COM1").gone = true;
  link.Timer1Timer();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].caption, "ERROR");
  EXPECT_EQ(window.boxes[0].text,
            "The device of comport 'COM1' has gone.\r\nCheck the cable, then choose the port again.");
  EXPECT_EQ(window.boxes[0].details,
            "COM1 (fake:COM1): the device has gone: " + std::string(testing::kFakeGone));
  EXPECT_TRUE(InNoPortState());
  EXPECT_EQ(link.closure(), Closure::kLost);
}

TEST_F(PortConnection, ExitClosesThePortAndTheWindow) {
  link.Exit1Click();  // no port: only the window closes
  EXPECT_TRUE(window.closed);
  link.SelectPort("COM1");
  link.Exit1Click();
  EXPECT_FALSE(link.PortOpen());
  EXPECT_EQ(ports.device("COM1").closes, 1);
  EXPECT_FALSE(window.TimerEnabled(Timer::Timer1));
}

// The poll as a download procedure sees it.
class ReceivePoll : public ::testing::Test, public LinkRig {
 protected:
  void SetUp() override {
    link.SelectPort("COM1");
    running.emplace(link);
  }
  void Tick() { link.Timer1Timer(); }
  std::optional<SerialLink::Procedure> running;
};

// While a write waits for a held line, the poll goes on draining the port
// (so the instrument's XON is never stuck behind its chatter), and what it
// reads starts over: a long hold with a chatty instrument fills nothing.
TEST_F(ReceivePoll, BytesWhileAWriteIsHeldStartOver) {
  dev().xoff = true;
  for (int t = 10; t <= 100; t += 10) window.At(t, [&] { ports.Arrive("COM1", std::string(9000, 'a')); });
  window.At(150, [&] { dev().xoff = false; });
  EXPECT_EQ(link.WriteToPort("x", 1), 1u);
  EXPECT_TRUE(window.boxes.empty()) << window.boxes.front().text;
  EXPECT_LT(link.received().count(), kReadAreaSize) << "no more than one read's worth";
  EXPECT_TRUE(link.PortOpen());
}

TEST_F(ReceivePoll, BytesWhileIdleAreLoggedButNeverFillTheBuffer) {
  running.reset();
  // A chatty instrument: 70 KB while no download runs.
  for (int i = 0; i < 7; ++i) window.At(i * 30, [&] { ports.Arrive("COM1", std::string(9000, 's')); });
  for (int i = 0; i < 30; ++i) window.WaitForEvents();
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_TRUE(link.PortOpen());
  EXPECT_EQ(window.log_lines.size(), 7u) << "every read has its line";
  EXPECT_EQ(window.log_lines[0], std::string(kLogLineMax, 's') + " ... (8744 more bytes)")
      << "a flood's lines are cut short";
}

TEST_F(ReceivePoll, AppendsCountsAndLogsEachRead) {
  Tick();
  EXPECT_EQ(link.received().count(), 0u) << "an empty tick changes nothing";
  EXPECT_TRUE(window.log_lines.empty());

  ports.Arrive("COM1", "12:>>");
  Tick();
  EXPECT_EQ(link.received().count(), 5u);
  EXPECT_TRUE(link.LastByteIs('>'));
  ports.Arrive("COM1", std::string("ab\0cd#", 6));
  Tick();
  EXPECT_EQ(Held(), std::string("12:>>ab\0cd#", 11)) << "a zero byte is stored like any other";
  EXPECT_TRUE(link.LastByteIs('#'));
  EXPECT_EQ(window.log_lines, (std::vector<std::string>{"12:>>", "ab"}))
      << "one log line per read, ending before a zero byte";
}

// The buffer's own rules: an exchange starts empty whatever was held, the
// answer is read by its last byte or a text among its bytes, the fill limit
// and the wrap point are exact, and nothing is appended past the end.
TEST(ReceiveBuffer, KeepsItsRules) {
  ReceiveBuffer buffer;
  buffer.Append(">", 1);
  buffer.StartExchange();  // the ">" is left over from an earlier exchange
  for (int b : {0, int{'>'}, int{'#'}}) EXPECT_FALSE(buffer.LastByteIs(static_cast<std::uint8_t>(b))) << b;
  const std::string answer("ab\0Flashed successfully...\r\n", 28);
  buffer.Append(answer.data(), static_cast<std::uint32_t>(answer.size()));
  EXPECT_TRUE(buffer.LastByteIs('\n'));
  EXPECT_TRUE(buffer.Contains("Flashed successfully...")) << "past a zero byte too";
  EXPECT_FALSE(buffer.Contains("Flashed successfully...!"));

  const struct {
    std::uint32_t held;
    bool past_fill;
    std::uint32_t after_wrap;
  } cases[] = {{kFillLimit, false, kFillLimit},
               {kFillLimit + 1, true, kFillLimit + 1},
               {kWrapPoint - 1, true, kWrapPoint - 1},
               {kWrapPoint, true, 0}};
  const std::string bytes(kComBufSize, 'x');
  for (const auto& c : cases) {
    buffer.StartExchange();
    buffer.Append(bytes.data(), c.held);
    EXPECT_EQ(buffer.PastFillLimit(), c.past_fill) << c.held;
    buffer.WrapIfDue();
    EXPECT_EQ(buffer.count(), c.after_wrap) << c.held;
  }
  buffer.StartExchange();
  buffer.Append(bytes.data(), kComBufSize - 3);
  EXPECT_EQ(buffer.Room(), 3u);
  buffer.Append("123456", 6);
  EXPECT_EQ(buffer.count(), kComBufSize) << "never past the end";
  EXPECT_EQ(buffer.held().substr(kComBufSize - 3), "123");
}

TEST_F(ReceivePoll, ATickWithNoPortDoesNothing) {
  link.Exit1Click();
  ports.Arrive("COM1", "x");
  Tick();
  EXPECT_EQ(link.received().count(), 0u);
}

TEST_F(ReceivePoll, BurstsLargerThanBothBuffersStayQueuedAndNothingOverruns) {
  // 25000 bytes waiting at once: each tick takes what fits its read area.
  std::string burst(25000, '\0');
  for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<char>('a' + i % 26);
  ports.Arrive("COM1", burst);
  Tick();
  EXPECT_EQ(link.received().count(), kReadAreaSize - 1);
  EXPECT_EQ(dev().waiting.size(), burst.size() - (kReadAreaSize - 1));
  Tick();
  Tick();
  EXPECT_EQ(Held(), burst) << "every byte in order, none lost";
  EXPECT_TRUE(window.boxes.empty());
}

TEST_F(ReceivePoll, FillingComBufGivesOneMessageThenExitAndWrapsTheCount) {
  // Exactly the fill limit, in reads of the read area's size: no message.
  ports.Arrive("COM1", std::string(kFillLimit, 'y'));
  for (int i = 0; i < 6; ++i) Tick();
  ASSERT_EQ(link.received().count(), kFillLimit);
  EXPECT_TRUE(window.boxes.empty());
  // More than the buffer's room: a read takes only what fits.
  ports.Arrive("COM1", std::string(kComBufSize - kFillLimit, 'z') + "123456");
  window.box_open_ms = 200;  // ticks keep coming while the message is open
  for (int i = 0; i < 20 && link.PortOpen(); ++i) window.WaitForEvents();
  ASSERT_EQ(window.boxes.size(), 1u) << "messages must not nest";
  EXPECT_EQ(window.boxes[0].text, "ERROR, ComBufPointer is out of bounds...");
  EXPECT_EQ(window.boxes[0].caption, "");
  EXPECT_TRUE(window.closed);
  EXPECT_FALSE(link.PortOpen());
  EXPECT_EQ(link.received().count(), 0u) << "the count wraps after the fill message";
  EXPECT_EQ(dev().waiting, "123456") << "only what fits is read; the rest stays at the port";
}

TEST_F(ReceivePoll, AnImpossibleWaitingCountGivesItsMessageAndExit) {
  dev().reported_waiting = kReadLimit + 1;
  dev().waiting = "abc";
  window.box_open_ms = 100;
  window.WaitForEvents();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "ERROR, Stat.cbInQue is out of bounds...");
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(link.received().count(), 0u) << "nothing read after the message";
}

TEST_F(ReceivePoll, AReadThatDeliversMoreThanAskedIsNotTrusted) {
  dev().waiting = "abc";
  dev().read_overrun = 20000;
  Tick();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "ERROR, BytesRead is out of bounds...");
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(link.received().count(), 0u);
}

// The one schedule of the program's timers: a periodic timer keeps its beat
// and makes up for no tick it missed, enabling one again starts it anew,
// and the front end is told whenever the next deadline moves.
TEST(TimerSchedule, KeepsTheBeatSkipsMissedTicksAndTellsTheNextDeadline) {
  testing::FakeClock clock;
  TimerSchedule timers(clock);
  std::vector<std::optional<Millis>> told;
  timers.on_change = [&](std::optional<Millis> next) { told.push_back(next); };
  timers.SetInterval(Timer::Timer1, 10);
  timers.SetInterval(Timer::Timer3, 50);
  timers.SetEnabled(Timer::Timer3, true);
  timers.SetEnabled(Timer::Timer1, true);
  // Whole milliseconds: the first tick one more on, so never early.
  EXPECT_EQ(timers.NextDue(), 11);
  clock.SleepUntil(10);
  EXPECT_EQ(timers.TakeDue(), std::nullopt) << "nothing is due before its time";
  clock.SleepUntil(11);
  EXPECT_EQ(timers.TakeDue(), Timer::Timer1);
  EXPECT_EQ(timers.NextDue(), 21) << "the beat, from when it was due";
  clock.SleepUntil(75);  // a long handler: ticks at 21 .. 71 missed
  EXPECT_EQ(timers.TakeDue(), Timer::Timer1) << "the earliest due first";
  EXPECT_EQ(timers.TakeDue(), Timer::Timer3);
  EXPECT_EQ(timers.TakeDue(), std::nullopt) << "no backlog of missed ticks";
  EXPECT_EQ(timers.NextDue(), 85);
  timers.SetEnabled(Timer::Timer1, true);  // again: its interval starts now
  EXPECT_EQ(timers.NextDue(), 86);
  timers.SetEnabled(Timer::Timer1, false);
  EXPECT_EQ(timers.NextDue(), 101) << "Timer3 on its beat of 50";
  timers.SetEnabled(Timer::Timer3, false);
  EXPECT_EQ(timers.NextDue(), std::nullopt);
  EXPECT_EQ(told, (std::vector<std::optional<Millis>>{51, 11, 21, 51, 85, 86, 101, std::nullopt}));
}

class Waits : public ::testing::Test, public LinkRig {};

TEST_F(Waits, DelayWaitsAtLeastTheTimeAndSeesWhatArrivesMeanwhile) {
  link.SelectPort("COM1");
  window.At(30, [&] { ports.Arrive("COM1", "\r\n>"); });
  const auto start = clock.Now();
  link.Delay(100);
  EXPECT_GE(clock.Now() - start, 100);
  EXPECT_LE(clock.Now() - start, 110);
  EXPECT_TRUE(link.LastByteIs('>'));
  EXPECT_FALSE(window.TimerEnabled(Timer::Timer2));
}

TEST_F(Waits, DelayHandlesClicksAndEndsWhenThePortCloses) {
  link.SelectPort("COM1");
  bool clicked = false;
  window.At(300, [&] { clicked = true; });
  link.Delay(1000);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(clock.Now(), 1001) << "at least 1000 ms on a clock of whole milliseconds";
  window.At(1500, [&] { link.Exit1Click(); });
  link.Delay(1000);
  EXPECT_EQ(clock.Now(), 1500) << "nothing can arrive once the port is closed";
}

}  // namespace
}  // namespace fwdl
