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
  void RunWithFile(const std::string& content) {
    TempFile file(content, "firmware.hex");
    window.dialog_answers = {file.path};
    hex.Button1Click();
  }
  // Bytes from the instrument at `delay` ms after the program shows `event`.
  void AnswerAfter(const std::string& event, testing::Millis delay, const std::string& bytes) {
    window.on_event = [=, this](const std::string& e) {
      if (e == event) window.At(clock.Now() + delay, [=, this] { ports.Arrive("COM1", bytes); });
    };
  }
};

TEST_F(HexDownloadTest, WithNoPortOnlyTheMessageIsShown) {
  hex.Button1Click();
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
  hex.Button1Click();
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
  window.At(1000, [&] { hex.Button2Click(); });
  hex.Button1Click();
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
  window.At(10'000, [&] { hex.Button2Click(); });
  hex.Button1Click();
  EXPECT_GE(std::count(Written().begin(), Written().end(), 'F'), 150) << "still pinging";
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_FALSE(window.Saw("dialog OpenDialog1"));
}

TEST_F(HexDownloadTest, SixBytesEndTheSearchAtTheNextTickWithoutAPing) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_bytes = 6});  // the answer ends in the prompt
  hex.Button1Click();  // the dialog is cancelled
  EXPECT_EQ(Written(), "FQ") << "one ping, answered; the next tick sends none";
  EXPECT_TRUE(window.Saw("dialog OpenDialog1"));
}

TEST_F(HexDownloadTest, AbortWithSixBytesCountedGoesOnAsFound) {
  OpenPort();
  window.At(60, [&] { ports.Arrive("COM1", "hello>"); });  // read by the poll at 60
  window.At(75, [&] { hex.Button2Click(); });              // before the tick at 100
  hex.Button1Click();
  EXPECT_TRUE(window.Saw("dialog OpenDialog1"));
  EXPECT_EQ(Written(), "FQ");
}

TEST_F(HexDownloadTest, NoPromptInTwentyAttempts) {
  OpenPort();
  UseInstrument({.charger_ms = 0, .wake_prompt = false});
  hex.Button1Click();
  ASSERT_EQ(window.boxes.size(), 2u);
  EXPECT_EQ(window.events[window.events.size() - 5], kNoContact);
  EXPECT_EQ(Written().back(), 'Q');
  EXPECT_EQ(window.label2, "Searching...");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexDownloadTest, APromptAtTheTwentiethAttemptCountsOneLaterDoesNot) {
  for (const auto& [delay, found] : {std::pair{1950, true}, std::pair{2050, false}}) {
    testing::LinkRig rig;
    rig.link.SelectPort("COM1");
    rig.window.At(60, [&] { rig.ports.Arrive("COM1", "loader"); });
    rig.window.on_event = [&, delay = delay](const std::string& e) {
      if (e == "Button2 hidden") {
        rig.window.At(rig.clock.Now() + delay, [&] { rig.ports.Arrive("COM1", ">"); });
      }
    };
    rig.hex.Button1Click();
    EXPECT_EQ(rig.window.Saw("dialog OpenDialog1"), found) << delay;
    EXPECT_EQ(rig.window.Saw(kNoContact), !found) << delay;
    EXPECT_EQ(rig.ports.device("COM1").written.back(), 'Q');
  }
}

TEST_F(HexDownloadTest, CancelledDialogSendsQuitAndClearsTheLabels) {
  OpenPort();
  UseInstrument();
  window.SetProgressText("old");
  hex.Button1Click();
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
  hex.Button1Click();
  EXPECT_EQ(Written().find('Q'), std::string::npos);
  EXPECT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.label1, "");
  EXPECT_EQ(window.label2, "");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(HexDownloadTest, AFileMustStartWithAColon) {
  for (const std::string& content : {std::string(""), std::string("X:10\r\n"),
                                    std::string("\r\n:00000001FF\r\n")}) {
    testing::LinkRig rig;
    rig.link.SelectPort("COM1");
    sim::Instrument loader({.charger_ms = 0});
    rig.ports.device("COM1").instrument = &loader;
    TempFile file(content);
    rig.window.dialog_answers = {file.path};
    rig.hex.Button1Click();
    ASSERT_EQ(rig.window.boxes.size(), 2u) << content;
    EXPECT_EQ(rig.window.boxes[1].text, "Not a valid Instrument-firmware file.");
    EXPECT_EQ(rig.window.boxes[1].caption, "ERROR");
    EXPECT_EQ(rig.ports.device("COM1").written.back(), 'Q');
    EXPECT_EQ(rig.window.label2, "");
  }
}

TEST_F(HexDownloadTest, TheCarriageReturnProbeMustBeAnsweredWithThePrompt) {
  for (const sim::Probe probe : {sim::Probe::Silent, sim::Probe::Other}) {
    testing::LinkRig rig;
    rig.link.SelectPort("COM1");
    sim::Instrument loader({.charger_ms = 0, .probe = probe});
    rig.ports.device("COM1").instrument = &loader;
    TempFile file("\r" + kHex);  // a leading CR is skipped by the check
    rig.window.dialog_answers = {file.path};
    rig.hex.Button1Click();
    EXPECT_TRUE(rig.window.Saw(kLostContact));
    const std::string& written = rig.ports.device("COM1").written;
    EXPECT_EQ(written.substr(written.size() - 2), "\rQ");
  }
}

// The port goes away (the receive poll's bound exits close it) at a given
// moment: the procedure ends quietly and sends nothing more.
TEST_F(HexDownloadTest, LosingThePortEndsTheRunQuietly) {
  struct {
    const char* when;
    char after;  // the last byte written before the port goes
    testing::Millis delay;
  } const cases[] = {{"before L", '\r', 50}, {"before Y", 'L', 100}};
  for (const auto& c : cases) {
    testing::LinkRig rig;
    rig.link.SelectPort("COM1");
    sim::Instrument loader({.charger_ms = 0});
    auto& dev = rig.ports.device("COM1");
    dev.instrument = &loader;
    dev.on_byte = [&](char b) {
      if (b == c.after) rig.window.At(rig.clock.Now() + c.delay, [&] { rig.link.Exit1Click(); });
    };
    TempFile file(kHex);
    rig.window.dialog_answers = {file.path};
    rig.hex.Button1Click();
    EXPECT_EQ(dev.written.back(), c.after) << c.when;
    EXPECT_EQ(rig.window.boxes.size(), 1u) << c.when;
    EXPECT_EQ(rig.window.label1, "") << c.when;
  }
}

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

// An instrument that boots sends a stray XOFF and never the XON: the
// wake-up pings still go out and find it.
TEST_F(HexDownloadTest, AStrayXoffDuringTheSearchDoesNotHoldThePings) {
  OpenPort();
  UseInstrument({.charger_ms = 500});
  window.At(200, [&] { dev().xoff = true; });
  RunWithFile(kHex);
  EXPECT_TRUE(window.Saw("box[INFO] Firmware programmed OK"));
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
  RunWithFile(kHex + "\x1A:after Ctrl-Z\r\n");
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

class HexVerdict : public HexDownloadTest {
 protected:
  // A loader that goes quiet after the file; `answer` comes 300 ms after
  // the transfer.
  void RunWithAnswer(const std::string& answer) {
    OpenPort();
    UseInstrument({.charger_ms = 0, .verdict = sim::Verdict::None});
    AnswerAfter("Label1=100% done", 300, answer);
    q_before_box = false;
    window.on_event = [this, inner = window.on_event](const std::string& e) {
      inner(e);
      if (e.rfind("box[INFO]", 0) == 0) q_before_box = Written().back() == 'Q';
    };
    RunWithFile(kHex);
  }
  bool q_before_box = false;
};

TEST_F(HexVerdict, TwentyBytesAreTooFewTwentyOneAreRead) {
  RunWithAnswer("12345678901234567890");
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
  RunWithAnswer("abcde\n?ghijklmnopqrstuvwx\nyz01");
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
