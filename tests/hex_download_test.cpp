// "Send Vardelo Firmware" on fake ports and a fake clock: every end of the
// procedure, the search, the verdict line and the percentage.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "instrument.h"
#include "support/rig.h"

namespace fwdl {
namespace {

using testing::TempFile;

const std::string kInstructions =
    "1. Remove power and switch off Instrument.\r\n2. Klick OK\r\n3. Connect charger to "
    "Instrument...\r\n\r\nOBS! You have to use external powersupply (charger).\r\n          And "
    "the powerswitch has to be OFF.";
const std::string kNoContact =
    "box[ERROR] No contact with Instrument...\r\nRemove power from Instrument and retry.\r\nCheck "
    "comport!";
const std::string kLostContact =
    "box[ERROR] Lost contact with Instrument.\r\nYou have to use the external powersupply...";

// A small valid HEX file with CR LF line ends.
const std::string kHex =
    ":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n";

class HexDownloadTest : public ::testing::Test, public testing::LinkRig {
 protected:
  void OpenPort() {
    link.SelectPort("COM1");
    window.events.clear();
  }
  // A loader that wakes at once unless the options say otherwise.
  void UseInstrument(const sim::Options& options = {.charger_ms = 0}) {
    LinkRig::UseInstrument(options);
  }
  // Runs the procedure with `content` as the chosen file.
  Outcome RunWithFile(const std::string& content) {
    TempFile file(content, "firmware.hex");
    window.dialog_answers = {file.path};
    return core.Button1Click();
  }
  // Bytes from the instrument at `delay` ms after the program shows `event`.
  void AnswerAfter(const std::string& event, testing::Millis delay, const std::string& bytes) {
    window.on_event = [=, this](const std::string& e) {
      if (e == event) window.At(clock.Now() + delay, [=, this] { ports.Arrive("COM1", bytes); });
    };
  }
};

TEST_F(HexDownloadTest, WithNoPortOnlyTheMessageIsShown) {
  EXPECT_EQ(core.Button1Click(), Outcome::kNoPort);
  const std::vector<std::string> expected = {
      "Exit1 disabled", "Port1 disabled", "Button1 hidden", "Button3 hidden",
      "box[ERROR] Select the comport that the\r\nInstrument is connected to...",
      "Button1 shown", "Button3 shown", "Exit1 enabled", "Port1 enabled"};
  EXPECT_EQ(window.events, expected);
}

TEST_F(HexDownloadTest, CancelOnTheInstructionsSendsNothing) {
  OpenPort();
  window.SetStatusText("status before");
  window.box_answers = {BoxAnswer::Cancel};
  EXPECT_EQ(core.Button1Click(), Outcome::kCancelled);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, kInstructions);
  EXPECT_EQ(window.boxes[0].caption, "");
  EXPECT_EQ(window.boxes[0].buttons, BoxButtons::OkCancel);
  EXPECT_EQ(Written(), "");
  EXPECT_EQ(window.label2, "status before");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexDownloadTest, SearchAbortedBeforeContactSendsQuitQuietly) {
  OpenPort();
  UseInstrument({.charger_ms = 1'000'000});  // the charger is never connected
  window.At(1000, [&] { core.Button2Click(); });
  window.At(500, [&] { EXPECT_EQ(core.phase(), Phase::kWakeUp); });
  EXPECT_EQ(core.Button1Click(), Outcome::kSearchAborted);
  EXPECT_EQ(core.phase(), Phase::kIdle);
  EXPECT_EQ(window.boxes.size(), 1u) << "no message after the instructions";
  ASSERT_GE(Written().size(), 10u) << "a ping every 50 ms";
  EXPECT_EQ(Written().find_first_not_of('F'), Written().size() - 1);
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(window.Saw("Button2 shown") && window.Saw("Button2 hidden"));
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexDownloadTest, FiveByteAnswersNeverEndTheSearch) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_bytes = 5});
  window.At(10'000, [&] { core.Button2Click(); });
  core.Button1Click();
  EXPECT_GE(std::count(Written().begin(), Written().end(), 'F'), 150) << "still pinging";
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_FALSE(window.Saw("dialog OpenDialog1"));
}

// The device goes while the run's last box is open (its event loop polls
// the port): the run keeps its outcome, the box about the cable follows, and
// the window has no port rather than download buttons that lead nowhere.
TEST_F(HexDownloadTest, ADeviceThatGoesWhileTheLastBoxIsOpenLeavesNoPort) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_prompt = false});
  window.box_open_ms = 300;
  window.on_event = [&](const std::string& e) {
    if (e == kNoContact) window.At(clock.Now() + 100, [&] { dev().gone = true; });
  };
  EXPECT_EQ(core.Button1Click(), Outcome::kNoContact);
  ASSERT_GE(window.boxes.size(), 2u);
  EXPECT_NE(window.boxes.back().text.find("comport 'COM1' has gone"), std::string::npos);
  EXPECT_TRUE(InNoPortState());
}

TEST_F(HexDownloadTest, SixBytesEndTheSearchAtTheNextTickWithoutAPing) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_bytes = 6});  // the answer ends in the prompt
  core.Button1Click();  // the dialog is cancelled
  EXPECT_EQ(Written(), "FQ") << "one ping, answered; the next tick sends none";
  EXPECT_TRUE(window.Saw("dialog OpenDialog1"));
}

TEST_F(HexDownloadTest, AbortWithSixBytesCountedGoesOnAsFound) {
  OpenPort();
  window.At(60, [&] { ports.Arrive("COM1", "hello>"); });  // read by the poll at 60
  window.At(75, [&] { core.Button2Click(); });              // before the tick at 100
  core.Button1Click();
  EXPECT_TRUE(window.Saw("dialog OpenDialog1"));
  EXPECT_EQ(Written(), "FQ");
}

TEST_F(HexDownloadTest, NoPromptInTwentyAttempts) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_prompt = false});
  EXPECT_EQ(core.Button1Click(), Outcome::kNoContact);
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.events[window.events.size() - 5], kNoContact);
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_EQ(window.label2, "Searching...");
  EXPECT_TRUE(EndsWithRestore());
}

// The prompt 1950 ms after the search (found at the 20th attempt) or 2050 ms.
class HexPromptWait : public HexDownloadTest, public ::testing::WithParamInterface<int> {};

TEST_P(HexPromptWait, APromptAtTheTwentiethAttemptCountsOneLaterDoesNot) {
  const int delay = GetParam();
  const bool found = delay < 2000;
  OpenPort();
  window.At(60, [&] { ports.Arrive("COM1", "loader"); });
  window.on_event = [&](const std::string& e) {
    if (e == "Button2 hidden") window.At(clock.Now() + delay, [&] { ports.Arrive("COM1", ">"); });
  };
  EXPECT_EQ(core.Button1Click(), found ? Outcome::kCancelled : Outcome::kNoContact);
  EXPECT_EQ(window.Saw("dialog OpenDialog1"), found);
  EXPECT_EQ(window.Saw(kNoContact), !found);
  EXPECT_EQ(Written().back(), 'Q');
}

INSTANTIATE_TEST_SUITE_P(Delays, HexPromptWait, ::testing::Values(1950, 2050));

TEST_F(HexDownloadTest, CancelledDialogSendsQuitAndClearsTheLabels) {
  OpenPort();
  UseInstrument();
  window.SetProgressText("old");
  EXPECT_EQ(core.Button1Click(), Outcome::kCancelled);
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_EQ(window.label1, "");
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexDownloadTest, AFileThatCannotBeOpenedEndsWithoutQuit) {
  OpenPort();
  UseInstrument();
  window.dialog_answers = {"/nonexistent/firmware.hex"};
  window.SetProgressText("before");
  EXPECT_EQ(core.Button1Click(), Outcome::kFileUnreadable);
  EXPECT_EQ(Written().find('Q'), std::string::npos);
  EXPECT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.label1, "");
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(EndsWithRestore());
}

class HexFirstCharacter : public HexDownloadTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(HexFirstCharacter, AFileMustStartWithAColon) {
  OpenPort();
  UseInstrument();
  EXPECT_EQ(RunWithFile(GetParam()), Outcome::kFileNotHex);
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.boxes[1].text, "Not a valid Instrument-firmware file.");
  EXPECT_EQ(window.boxes[1].caption, "ERROR");
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_EQ(window.label2, "");
}

INSTANTIATE_TEST_SUITE_P(Files, HexFirstCharacter,
                         ::testing::Values("", "X:10\r\n", "\r\n:00000001FF\r\n"));

class HexProbe : public HexDownloadTest, public ::testing::WithParamInterface<sim::Probe> {};

TEST_P(HexProbe, TheCarriageReturnProbeMustBeAnsweredWithThePrompt) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .probe = GetParam()});
  EXPECT_EQ(RunWithFile("\r" + kHex), Outcome::kLostContact);  // a leading CR is skipped
  EXPECT_TRUE(window.Saw(kLostContact));
  EXPECT_EQ(Written().substr(Written().size() - 2), "\rQ");
}

INSTANTIATE_TEST_SUITE_P(Answers, HexProbe, ::testing::Values(sim::Probe::Silent, sim::Probe::Other));

// The port goes away (the receive poll's bound exits close it) just before
// "L" or just before "Y": the procedure ends quietly and sends nothing more.
class HexPortClosed : public HexDownloadTest,
                      public ::testing::WithParamInterface<std::pair<char, testing::Millis>> {};

TEST_P(HexPortClosed, TheRunEndsQuietly) {
  const auto [after, delay] = GetParam();  // the last byte written before the port goes
  OpenPort();
  UseInstrument();
  dev().on_byte = [&, after = after, delay = delay](char b) {
    if (b == after) window.At(clock.Now() + delay, [&] { link.Exit1Click(); });
  };
  EXPECT_EQ(RunWithFile(kHex), Outcome::kExited);
  EXPECT_EQ(Written().back(), after);
  EXPECT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.label1, "");
}

INSTANTIATE_TEST_SUITE_P(BeforeLAndY, HexPortClosed,
                         ::testing::Values(std::pair{'\r', testing::Millis{50}},
                                           std::pair{'L', testing::Millis{100}}));

TEST_F(HexDownloadTest, LosingThePortDuringTheTransferKeepsTheLastPercentage) {
  OpenPort();
  UseInstrument();
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += kHex.substr(0, 45);
  std::size_t bytes = 0;
  dev().on_byte = [&](char) {
    if (++bytes == 300) window.At(clock.Now(), [&] { link.Exit1Click(); });
  };
  RunWithFile(lines);
  EXPECT_FALSE(window.Saw("Label1=100% done"));
  EXPECT_NE(window.label1, "");
  EXPECT_EQ(Written().find('Q'), std::string::npos);
  EXPECT_TRUE(EndsWithRestore());
}

// The device goes in the middle of the file: the user is told, and the
// window has no port and no download buttons; the program goes on.
TEST_F(HexDownloadTest, ADeviceThatGoesDuringTheTransferIsReported) {
  OpenPort();
  UseInstrument();
  dev().lost_after = 4 + 50;  // "F\rLY", then part of the file
  EXPECT_EQ(RunWithFile(kHex), Outcome::kPortLost);
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.boxes[1].caption, "ERROR");
  EXPECT_NE(window.boxes[1].text.find("comport 'COM1' has gone"), std::string::npos);
  EXPECT_EQ(window.boxes[1].details, "COM1 (fake:COM1): the device has gone: " +
                                         std::string(testing::kFakeGone));
  EXPECT_TRUE(InNoPortState());
}

// The loader's verdict came, then its line went (a cable pulled a moment
// later): the verdict is the outcome, the lost port's box follows it, and
// after an error verdict, which keeps the program, the window has no port.
TEST_F(HexDownloadTest, AVerdictThatCameBeforeTheLineWentIsTheOutcome) {
  for (const auto verdict : {sim::Verdict::Ok, sim::Verdict::Error}) {
    testing::LinkRig rig;
    rig.link.SelectPort("COM1");
    rig.UseInstrument({.charger_ms = 0, .verdict = verdict});
    rig.window.on_event = [&](const std::string& e) {
      if (e == "Label1=100% done") rig.window.At(rig.clock.Now() + 1500, [&] { rig.dev().gone = true; });
    };
    TempFile file(kHex, "firmware.hex");
    rig.window.dialog_answers = {file.path};
    const bool ok = verdict == sim::Verdict::Ok;
    EXPECT_EQ(rig.core.Button1Click(), ok ? Outcome::kSuccess : Outcome::kErrorVerdict);
    ASSERT_EQ(rig.window.boxes.size(), 3u);
    EXPECT_EQ(rig.window.boxes[1].caption, ok ? "INFO" : "ERROR");
    EXPECT_NE(rig.window.boxes[1].text.find(rig.core.instrument_text()), std::string::npos);
    EXPECT_FALSE(rig.core.instrument_text().empty());
    EXPECT_NE(rig.window.boxes[2].text.find("comport 'COM1' has gone"), std::string::npos);
    EXPECT_EQ(rig.window.closed, ok) << "a good verdict ends the program as ever";
    if (!ok) {
      EXPECT_TRUE(rig.InNoPortState());
    }
  }
}

// The device goes during the write of the file's last character: that
// character did not go out, so the transfer never shows "100% done".
TEST_F(HexDownloadTest, ADeviceThatGoesAtTheLastCharacterNeverShowsDone) {
  OpenPort();
  UseInstrument();
  dev().lost_after = 4 + 55;  // "F\rLY", then all of kHex's 56 characters but the last
  EXPECT_EQ(RunWithFile(kHex), Outcome::kPortLost);
  EXPECT_EQ(Written().size(), 4u + 55);
  EXPECT_FALSE(window.Saw("Label1=100% done"));
}

// An instrument that boots sends a stray XOFF and never the XON: the
// wake-up pings still go out and find it.
TEST_F(HexDownloadTest, AStrayXoffDuringTheSearchDoesNotHoldThePings) {
  OpenPort();
  UseInstrument({.charger_ms = 500});
  window.At(200, [&] { dev().xoff = true; });
  RunWithFile(kHex);
  EXPECT_TRUE(window.Saw("box[INFO] Firmware programmed OK"));
}

// The line holds a ping for half a second: the ticks meanwhile start no
// ping inside it, so no burst of pings follows when the hold ends.
TEST_F(HexDownloadTest, AHeldPingIsNotFollowedByAnotherInsideIt) {
  OpenPort();
  UseInstrument({.charger_ms = 1'000'000});
  window.At(200, [&] { dev().xoff = dev().xoff_again = true; });
  window.At(700, [&] { dev().xoff = dev().xoff_again = false; });
  window.At(1500, [&] { core.Button2Click(); });
  std::vector<testing::Millis> pings;
  dev().on_byte = [&](char b) {
    if (b == 'F') pings.push_back(clock.Now());
  };
  EXPECT_EQ(core.Button1Click(), Outcome::kSearchAborted);
  ASSERT_GE(pings.size(), 10u);
  for (std::size_t i = 1; i < pings.size(); ++i) {
    EXPECT_GE(pings[i] - pings[i - 1], 20) << "ping " << i << " at " << pings[i] << " ms";
  }
}

TEST_F(HexDownloadTest, PercentageOfACrLfFileClimbsTo98BeforeDone) {
  OpenPort();
  UseInstrument();
  std::string content;
  for (int i = 0; i < 100; ++i) content += kHex.substr(0, 43) + "\r\n";
  RunWithFile(content);
  const std::vector<std::string> history = window.Label1History();
  ASSERT_GE(history.size(), 3u);
  EXPECT_EQ(history.front(), "0% done");
  EXPECT_EQ(history[history.size() - 3], "98% done");
  EXPECT_EQ(history[history.size() - 2], "100% done");
  EXPECT_EQ(history.back(), "") << "cleared at the end";
  for (std::size_t i = 1; i + 2 < history.size(); ++i) {
    EXPECT_LT(std::stoi(history[i - 1]), std::stoi(history[i])) << "the figure only climbs";
  }
}

TEST_F(HexDownloadTest, SuccessSendsTheFileAsTheLoaderReadsItAndEndsTheProgram) {
  OpenPort();
  UseInstrument();
  EXPECT_EQ(RunWithFile(kHex + "\x1A:after Ctrl-Z\r\n"), Outcome::kSuccess);
  EXPECT_EQ(instrument->received(),
            ":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n");
  const std::size_t file_start = Written().find("\rLY") + 3;
  EXPECT_EQ(Written().substr(file_start), instrument->received() + "Q");
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.boxes[1].text, "Firmware programmed OK");
  EXPECT_EQ(window.boxes[1].caption, "INFO");
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(window.label1, "");
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(EndsWithRestore());
}

// A driver that takes only a few bytes a call, and a line held for a
// while in the middle of the file: every character goes out once, in order,
// and the percentage still moves once a run.
TEST_F(HexDownloadTest, ShortWritesAndAHoldSendEachCharacterOnce) {
  OpenPort();
  UseInstrument();
  std::string file;
  for (int line = 0; line < 8; ++line) file += ":10000000000102030405060708090A0B0C0D0E0F78\n";
  file += ":00000001FF\n";
  dev().most_per_write = 7;
  testing::Millis started = 0, done = 0;
  window.on_event = [&, this](const std::string& e) {
    if (e == "Label1=100% done") done = clock.Now();
    if (e != "Label1=0% done") return;
    started = clock.Now();
    dev().xoff_after = Written().size() + 150;  // held 150 characters into the file
    window.At(started + 300, [this] { dev().xoff = false; });
  };
  EXPECT_EQ(RunWithFile(file), Outcome::kSuccess);
  EXPECT_EQ(Written().substr(Written().find("\rLY") + 3), file + "Q");
  EXPECT_EQ(instrument->received(), file);
  EXPECT_GE(done - started, 300) << "the hold was not kept";
  // "0% done", one figure a run of 64 characters, "100% done", cleared.
  EXPECT_EQ(window.progress_texts.size(), 1 + (file.size() + 63) / 64 + 2);
}

// The loader's pace: the probe 500 ms after the file is chosen, "L" 100 ms
// after the probe, "Y" 500 ms after "L", and "Q" once the verdict has had
// 2 s after the file's last byte.
TEST_F(HexDownloadTest, EachCommandWaitsItsTime) {
  OpenPort();
  UseInstrument();
  std::vector<testing::Millis> at;  // when each byte went out
  dev().on_byte = [&](char) { at.push_back(clock.Now()); };
  testing::Millis chosen = -1;
  window.on_event = [&](const std::string& e) {
    if (e == "dialog OpenDialog1") chosen = clock.Now();
  };
  ASSERT_EQ(RunWithFile(kHex), Outcome::kSuccess);
  const std::size_t probe = Written().find("\rLY");
  const struct {
    testing::Millis from, to, ms;
  } waits[] = {{chosen, at[probe], 500}, {at[probe], at[probe + 1], 100},
               {at[probe + 1], at[probe + 2], 500}, {at[at.size() - 2], at.back(), 2000}};
  for (const auto& w : waits) {  // never early, and late by no more than a clock's millisecond
    EXPECT_GE(w.to - w.from, w.ms);
    EXPECT_LE(w.to - w.from, w.ms + 1);
  }
}

class HexVerdict : public HexDownloadTest {
 protected:
  // A loader that goes quiet after the file; `answer` comes 300 ms after
  // the transfer. The answer stays in the buffer as it came: reading the
  // verdict changes nothing there.
  Outcome RunWithAnswer(const std::string& answer) {
    OpenPort();
    UseInstrument({.charger_ms = 0, .verdict = sim::Verdict::None});
    AnswerAfter("Label1=100% done", 300, answer);
    q_before_box = false;
    window.on_event = [this, inner = window.on_event](const std::string& e) {
      inner(e);
      if (e.rfind("box[INFO]", 0) == 0) q_before_box = Written().back() == 'Q';
    };
    const Outcome outcome = RunWithFile(kHex);
    EXPECT_EQ(Held(), answer);
    return outcome;
  }
  bool q_before_box = false;
};

TEST_F(HexVerdict, TwentyBytesAreTooFewTwentyOneAreRead) {
  EXPECT_EQ(RunWithAnswer("12345678901234567890"), Outcome::kDownloadFailed);
  EXPECT_EQ(window.boxes.back().text, "Error while downloading.\r\nPlease try again...");
  EXPECT_EQ(window.boxes.back().caption, "ERROR");
  EXPECT_EQ(Written().back(), '\n') << "no Q";
  EXPECT_FALSE(window.closed);
}

TEST_F(HexVerdict, WithNoLineFeedTheLineStartsAtTheFirstByte) {
  RunWithAnswer("123456789012345678901");  // 21 bytes
  EXPECT_EQ(window.boxes.back().text, "123456789012");
  EXPECT_EQ(window.boxes.back().caption, "INFO");
  EXPECT_TRUE(q_before_box);
  EXPECT_TRUE(window.closed);
}

TEST_F(HexVerdict, WorkedExampleSuccess) {
  // 30 bytes, line feeds at 5 and 25; the one at 25 is in the last 9.
  RunWithAnswer("abcde\nfghijklmnopqrstuvwx\nyz01");
  EXPECT_EQ(window.boxes.back().text, "fghijklmnopqrst");  // indices 6 to 20
  EXPECT_TRUE(q_before_box);
  EXPECT_TRUE(window.closed);
}

TEST_F(HexVerdict, WorkedExampleErrorLine) {
  EXPECT_EQ(RunWithAnswer("abcde\n?ghijklmnopqrstuvwx\nyz01"), Outcome::kErrorVerdict);
  EXPECT_EQ(window.boxes.back().text,
            "Error while downloading.\r\n'?ghijklmnopqrstuvw'\r\nPlease try again...");
  EXPECT_EQ(window.boxes.back().caption, "ERROR");
  EXPECT_EQ(Written().find('Q'), std::string::npos);
  EXPECT_FALSE(window.closed);
  EXPECT_EQ(window.label1, "");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexVerdict, ALineFeedJustBeforeTheLastNineBytesStartsTheLine) {
  // 30 bytes, line feeds at 5 and at 20 = N - 10, the first byte examined.
  RunWithAnswer("abcde\nfghijklmnopqrs\n?xyz01234");  // shown: indices 21 to 23
  EXPECT_EQ(window.boxes.back().text, "Error while downloading.\r\n'?xy'\r\nPlease try again...");
}

TEST_F(HexVerdict, ALongVerdictLineIsShownWhole) {
  const std::string line(300, 'v');
  RunWithAnswer("start\n" + line + "\nRestart\n");
  EXPECT_EQ(window.boxes.back().text, line);
}

}  // namespace
}  // namespace fwdl
