// "Send DVB Firmware" on fake ports and a fake clock: the escape writer,
// every end of the procedure, the progress figures and the result search.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

#include "instrument.h"
#include "support/rig.h"

namespace fwdl {
namespace {

using testing::TempFile;

const std::string kNoContact =
    "box[ERROR] No contact with Instrument...\r\nRemove power from Instrument and retry.\r\nCheck "
    "comport!";
const std::string kCompleted = "box[Info] Download comleted.\r\n\r\nPower off instrument.";
const std::string kFailed = "box[Info] Download failed.\r\n\r\nPlease try again.";

class DvbDownloadTest : public ::testing::Test, public testing::LinkRig {
 protected:
  void OpenPort() {
    link.SelectPort("COM1");
    window.events.clear();
  }
  void UseInstrument(const sim::Options& options = {.flash_ms = 3000}) {
    LinkRig::UseInstrument(options);
  }
  // What went out after "SX\r".
  std::string AfterCommand() {
    const std::size_t at = Written().find("SX\r");
    return at == std::string::npos ? "" : Written().substr(at + 3);
  }
  Outcome RunWithFile(const std::string& content) {
    TempFile file(content, "firmware.bin");
    window.dialog_answers = {file.path};
    return core.Button3Click();
  }
  std::vector<std::string> StatusHistory() const {
    std::vector<std::string> history;
    for (const std::string& e : window.events) {
      if (e.rfind("Label2=", 0) == 0) history.push_back(e.substr(7));
    }
    return history;
  }
};

TEST_F(DvbDownloadTest, SendEscapedReportsWhatWentOutCompletely) {
  const std::uint8_t data[] = {'A', 0x11, 'B'};
  std::uint32_t consumed = 99;
  EXPECT_FALSE(core.dvb().SendEscaped(data, 3, consumed)) << "no port";
  EXPECT_EQ(consumed, 0u);

  OpenPort();
  EXPECT_TRUE(core.dvb().SendEscaped(data, 3, consumed));
  EXPECT_EQ(consumed, 3u);
  EXPECT_EQ(Written(), "A\x1B\x10\x01" "B");
  EXPECT_EQ(dev().write_calls, 1) << "the whole run in one write";

  // The device goes in the middle of an escape sequence.
  dev().written.clear();
  dev().lost_after = 2;
  EXPECT_FALSE(core.dvb().SendEscaped(data, 3, consumed));
  EXPECT_EQ(consumed, 1u);
  EXPECT_EQ(Written(), "A\x1B");

  // ... and on a plain byte.
  dev() = {};
  dev().lost_after = 1;
  OpenPort();
  const std::uint8_t plain[] = {'A', 'B'};
  EXPECT_FALSE(core.dvb().SendEscaped(plain, 2, consumed));
  EXPECT_EQ(consumed, 1u);
}

// A driver that takes only part of each write, and a line held for a while
// in the middle of a chunk: the rest follows, and nothing goes out twice.
TEST_F(DvbDownloadTest, SendEscapedSendsTheRestOfWhatTheDriverDidNotTake) {
  const std::uint8_t data[] = {'A', 0x1B, 'B', 0x13, 'C', 'D', 0x11};
  const std::string line = "A\x1B\x10\x0B" "B\x1B\x10\x03" "CD\x1B\x10\x01";
  OpenPort();
  dev().most_per_write = 4;
  std::uint32_t consumed = 0;
  EXPECT_TRUE(core.dvb().SendEscaped(data, sizeof data, consumed));
  EXPECT_EQ(consumed, sizeof data);
  EXPECT_EQ(Written(), line);
  EXPECT_EQ(dev().write_calls, 4);

  dev().written.clear();
  dev().most_per_write.reset();
  dev().xoff_after = 5;  // held after "A\x1B\x10\x0B" "B" for half a second
  window.At(clock.Now() + 500, [&] { dev().xoff = false; });
  EXPECT_TRUE(core.dvb().SendEscaped(data, sizeof data, consumed));
  EXPECT_EQ(consumed, sizeof data);
  EXPECT_EQ(Written(), line);
  EXPECT_GE(clock.Now(), 500);
}

TEST_F(DvbDownloadTest, WithNoPortOnlyTheMessageIsShownAndExitStaysEnabled) {
  EXPECT_EQ(core.Button3Click(), Outcome::kNoPort);
  const std::vector<std::string> expected = {
      "Port1 disabled", "Button1 hidden", "Button3 hidden",
      "box[ERROR] Select the comport that the\r\ninstrument is connected to...",
      "Button1 shown", "Button3 shown", "Exit1 enabled", "Port1 enabled"};
  EXPECT_EQ(window.events, expected);
}

TEST_F(DvbDownloadTest, CancelOnTheInstructionsSendsNothing) {
  OpenPort();
  window.box_answers = {BoxAnswer::Cancel};
  core.Button3Click();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "1. Turn on the instrument.\r\n2. Wait for instrument to startup completely.\r\n3. "
            "Klick OK.\r\n");
  EXPECT_EQ(window.boxes[0].caption, "");
  EXPECT_EQ(Written(), "");
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(DvbDownloadTest, NoPromptAfterTwentyCarriageReturns) {
  OpenPort();
  UseInstrument({.answer_prompt = false});
  EXPECT_EQ(core.Button3Click(), Outcome::kNoContact);
  EXPECT_EQ(Written(), std::string(20, '\r'));
  EXPECT_TRUE(window.Saw(kNoContact));
  EXPECT_EQ(window.label2, "Searching...");
  EXPECT_GE(clock.Now(), 2000);
  EXPECT_TRUE(EndsWithRestore());
}

// A flood during the search fills the buffer: the bound message ends the
// program, and that is how the run ended, whatever box follows.
TEST_F(DvbDownloadTest, AFloodThatFillsTheBufferEndsAsABoundError) {
  OpenPort();
  UseInstrument({.answer_prompt = false});
  window.At(50, [&] { ports.Arrive("COM1", std::string(60'000, 'A')); });
  EXPECT_EQ(core.Button3Click(), Outcome::kBoundError);
  EXPECT_TRUE(window.Saw("box[] ERROR, ComBufPointer is out of bounds..."));
  EXPECT_TRUE(window.closed);
}

TEST_F(DvbDownloadTest, APromptFollowedByAnotherByteDoesNotCount) {
  OpenPort();
  int carriage_returns = 0;
  dev().on_byte = [&](char b) {
    if (b == '\r') ports.Arrive("COM1", ++carriage_returns == 1 ? "> " : ">");
  };
  core.Button3Click();  // the dialog is cancelled
  EXPECT_EQ(carriage_returns, 2);
  EXPECT_TRUE(window.Saw("dialog OpenDialog2"));
  EXPECT_EQ(window.label2, "");
}

// The dialog cancelled, a file that does not exist, a folder.
class DvbNoFile : public DvbDownloadTest,
                  public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(DvbNoFile, EndsQuietly) {
  OpenPort();
  UseInstrument();
  window.dialog_answers = {GetParam()};
  EXPECT_EQ(core.Button3Click(), GetParam() ? Outcome::kFileUnreadable : Outcome::kCancelled);
  EXPECT_EQ(Written(), "\r");
  EXPECT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.label1, "");
  EXPECT_EQ(window.label2, "");
}

INSTANTIATE_TEST_SUITE_P(Answers, DvbNoFile,
                         ::testing::Values(std::nullopt, "/nonexistent/image.bin",
                                           std::filesystem::temp_directory_path().string()));

TEST_F(DvbDownloadTest, AFileTheHeaderCannotAnnounceIsRefusedBeforeAnythingIsSent) {
  OpenPort();
  UseInstrument();
  TempFile too_large("");
  std::filesystem::resize_file(too_large.path, (std::uint64_t{1} << 32) + 5);  // sparse
  TempFile empty("");
  for (const auto& [path, refused, text] :
       {std::tuple{too_large.path, Outcome::kFileTooLarge, "The firmware file is too large."},
        std::tuple{empty.path, Outcome::kFileEmpty, "The firmware file is empty."}}) {
    dev().written.clear();
    window.boxes.clear();
    window.dialog_answers = {path};
    EXPECT_EQ(core.Button3Click(), refused);
    EXPECT_EQ(Written(), "\r") << std::filesystem::file_size(path) << " bytes";
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[1].text, text);
    EXPECT_EQ(window.boxes[1].caption, "ERROR");
    EXPECT_EQ(window.label2, "");
    EXPECT_FALSE(window.closed);
    EXPECT_TRUE(EndsWithRestore());
  }
}

TEST_F(DvbDownloadTest, CommandNotSentWhenThePortIsGone) {
  OpenPort();
  UseInstrument();
  window.on_event = [&](const std::string& e) {
    if (e == "dialog OpenDialog2") link.Exit1Click();  // the poll closed the port meanwhile
  };
  RunWithFile("image");
  EXPECT_EQ(Written(), "\r");
  EXPECT_EQ(window.label2, "Preparing for download.");
  EXPECT_EQ(window.boxes.size(), 1u);
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(DvbDownloadTest, NoGoAheadAfterTwentySeconds) {
  OpenPort();
  UseInstrument({.go_ahead = false});
  // A '#' read while the dialog was open came before "SX\r": no go-ahead.
  window.on_event = [&](const std::string& e) {
    if (e != "dialog OpenDialog2") return;
    ports.Arrive("COM1", "#");
    link.Timer1Timer();
  };
  EXPECT_EQ(RunWithFile("image"), Outcome::kNoContact);
  EXPECT_TRUE(window.Saw(kNoContact));
  EXPECT_EQ(AfterCommand(), "") << "no header without the go-ahead";
  EXPECT_GE(clock.Now(), 20'000);
  EXPECT_EQ(window.label2, "Preparing for download.");
  EXPECT_FALSE(window.closed);
  EXPECT_TRUE(EndsWithRestore());
}

TEST_F(DvbDownloadTest, SuccessSendsHeaderAndEscapedImageAndEndsTheProgram) {
  OpenPort();
  UseInstrument();
  const std::string image = testing::EveryByteImage(5000);
  EXPECT_EQ(RunWithFile(image), Outcome::kSuccess);
  // The header as it stands (5000 is 0x1388), then the image as the
  // instrument decodes it from the escaped bytes.
  EXPECT_EQ(AfterCommand().substr(0, 10), std::string("\x23\x04\x78\x56\x34\x12\x88\x13\x00\x00", 10));
  EXPECT_EQ(instrument->received(), image);
  EXPECT_EQ(AfterCommand().find_first_of("\x11\x13", 10), std::string::npos)
      << "XON or XOFF on the line as data";
  EXPECT_EQ(window.progress_texts,
            (std::vector<std::string>{"0% done", "20% done", "41% done", "61% done", "82% done",
                                      "100% done", "FLASHING", ""}));
  EXPECT_EQ(StatusHistory(),
            (std::vector<std::string>{"Searching...", "Found Instrument.",
                                      "Preparing for download.", "Downloading.",
                                      "This takes 1 minute.", ""}));
  EXPECT_TRUE(window.Saw(kCompleted));
  EXPECT_TRUE(window.closed);
  EXPECT_TRUE(EndsWithRestore());
}

// Bytes the front end read and checked are what goes out, never the file
// as it is on the disk by then.
TEST_F(DvbDownloadTest, TheBytesTheFrontEndReadAreSentNotTheFileOnTheDisk) {
  OpenPort();
  UseInstrument();
  const std::string checked = "the image that was checked";
  window.chosen_bytes = std::vector<std::uint8_t>(checked.begin(), checked.end());
  EXPECT_EQ(RunWithFile("changed on the disk since"), Outcome::kSuccess);
  EXPECT_EQ(instrument->received(), checked);
}

// Chunks of exactly 1024 bytes: a figure after each, and the count of the
// received bytes reset before each (what the instrument said during an
// earlier chunk is no report).
TEST_F(DvbDownloadTest, A2048ByteFileGoesOutInTwoChunksOfWhatCameSince) {
  OpenPort();
  UseInstrument({.report = false});
  dev().bytes_per_ms = 6;  // so that the poll runs between chunks
  bool said = false;
  dev().on_byte = [&](char) {
    if (!said && AfterCommand().size() == 10 + 500) {  // in the first chunk
      said = true;
      ports.Arrive("COM1", "Flashed successfully...\r\nVardelo ready.\r\n>");
    }
  };
  EXPECT_EQ(RunWithFile(std::string(2048, 'x')), Outcome::kDownloadFailed);
  EXPECT_EQ(window.progress_texts,
            (std::vector<std::string>{"0% done", "50% done", "100% done", "FLASHING", ""}));
}

// The go-ahead is followed by 200 ms of quiet before the header.
TEST_F(DvbDownloadTest, TheHeaderComes200msAfterTheGoAhead) {
  OpenPort();
  UseInstrument();
  testing::Millis go_ahead_seen = -1, header_at = -1;
  window.on_event = [&](const std::string& e) {
    if (e == "Label1=0% done") go_ahead_seen = clock.Now();
  };
  dev().on_byte = [&](char) {
    if (header_at < 0 && AfterCommand().size() == 1) header_at = clock.Now();
  };
  RunWithFile("image");
  ASSERT_GE(go_ahead_seen, 0);
  EXPECT_GE(header_at - go_ahead_seen, 200);
}

// Sixty attempts a second apart: a report in the sixtieth second is found,
// one after it is not.
class DvbLateReport : public DvbDownloadTest, public ::testing::WithParamInterface<int> {};

TEST_P(DvbLateReport, IsFoundUpToTheSixtiethAttempt) {
  const int flash_ms = GetParam();
  OpenPort();
  UseInstrument({.flash_ms = flash_ms});
  EXPECT_EQ(RunWithFile("image"), flash_ms < 60'000 ? Outcome::kSuccess : Outcome::kDownloadFailed);
}

INSTANTIATE_TEST_SUITE_P(FlashTimes, DvbLateReport, ::testing::Values(59'500, 60'500));

TEST_F(DvbDownloadTest, A1025ByteFileGoesOutInTwoChunks) {
  OpenPort();
  UseInstrument();
  RunWithFile(testing::EveryByteImage(1025));
  EXPECT_EQ(window.progress_texts,
            (std::vector<std::string>{"0% done", "100% done", "100% done", "FLASHING", ""}));
  EXPECT_TRUE(window.Saw(kCompleted));
}

TEST_F(DvbDownloadTest, NoReportInSixtySecondsIsAFailureAndEndsTheProgram) {
  OpenPort();
  UseInstrument({.report = false});
  EXPECT_EQ(RunWithFile("image"), Outcome::kDownloadFailed);
  EXPECT_TRUE(window.Saw(kFailed));
  EXPECT_GE(clock.Now(), 60'000);
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(window.label1, "");
}

// Success is found wherever the report lies among the bytes held since the
// last chunk began: right at the end, short, with a long tail, or split
// across two attempts.
class DvbReport : public DvbDownloadTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(DvbReport, TheSuccessReportIsFoundInEveryShape) {
  OpenPort();
  UseInstrument({.flash_ms = 2500, .result_tail = GetParam()});
  EXPECT_EQ(RunWithFile("image"), Outcome::kSuccess);
  EXPECT_TRUE(window.Saw(kCompleted));
}

INSTANTIATE_TEST_SUITE_P(Tails, DvbReport,
                         ::testing::Values("", "\r\n", "\r\n>", "\r\nVardelo ready for use.\r\n>"));

TEST_F(DvbDownloadTest, ASuccessReportSplitAcrossTwoAttemptsIsFoundInTheSecond) {
  OpenPort();
  UseInstrument({.report = false});
  testing::Millis shown_at = 0, flashing_at = 0;
  window.on_event = [&](const std::string& e) {
    if (e == "Label1=FLASHING") {
      flashing_at = clock.Now();
      window.At(flashing_at + 1500, [&] { ports.Arrive("COM1", std::string("\0Flashed succ", 13)); });
      window.At(flashing_at + 2500, [&] { ports.Arrive("COM1", "essfully..."); });
    }
    if (e == kCompleted) shown_at = clock.Now();
  };
  RunWithFile("image");
  EXPECT_TRUE(window.Saw(kCompleted));
  EXPECT_GE(shown_at - flashing_at, 3000) << "found at the third attempt, after the second half";
  EXPECT_LT(shown_at - flashing_at, 4000) << "found at the third attempt, not the fourth";
}

// The instrument holds the line with XOFF in the middle of the image and
// the user chooses Exit: the held write lets the window work, Exit ends it,
// and the program ends at once without a minute of waiting.
TEST_F(DvbDownloadTest, ExitWhileTheLineIsHeldEndsTheDownloadAtOnce) {
  OpenPort();
  UseInstrument();
  const std::string image = testing::EveryByteImage(10 * 1024);
  std::size_t exit_at = 0;
  testing::Millis exit_time = 0;
  dev().on_byte = [&](char) {
    if (exit_time == 0 && Written().size() == Written().find("SX\r") + 3 + 10 + 3000) {
      dev().xoff = true;
      exit_time = clock.Now() + 500;
      window.At(exit_time, [&] {
        exit_at = Written().size();
        link.Exit1Click();
      });
    }
  };
  RunWithFile(image);
  EXPECT_EQ(Written().size(), exit_at) << "nothing more after Exit";
  const auto& texts = window.progress_texts;
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "FLASHING"), texts.end());
  EXPECT_EQ(texts[texts.size() - 2], "29% done") << "the figure stops at the held chunk";
  ASSERT_FALSE(window.boxes.empty());
  EXPECT_EQ("box[Info] " + window.boxes.back().text, kFailed);
  EXPECT_LE(window.boxes.back().at - exit_time, 1000);
  EXPECT_TRUE(window.closed);
}

// The device goes in the middle of the image: the user is told so at once,
// and the window is left as it is without a port; the program goes on.
TEST_F(DvbDownloadTest, ALostDeviceMidImageEndsTheDownloadAtOnce) {
  OpenPort();
  UseInstrument();
  dev().lost_after = 1 + 3 + 10 + 1500;  // the search's CR, "SX\r", header, part of the image
  TempFile file(std::string(4096, 'x'), "firmware.bin");
  window.dialog_answers = {file.path};
  EXPECT_EQ(core.Button3Click(), Outcome::kPortLost);
  const auto& texts = window.progress_texts;
  EXPECT_EQ(texts[texts.size() - 2], "37% done");  // 1500 of 4096
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "FLASHING"), texts.end());
  EXPECT_FALSE(window.Saw(kFailed));
  ASSERT_FALSE(window.boxes.empty());
  EXPECT_EQ(window.boxes.back().caption, "ERROR");
  EXPECT_EQ(window.boxes.back().text,
            "The device of comport 'COM1' has gone.\r\nCheck the cable, then choose the port again.");
  EXPECT_EQ(window.boxes.back().details,
            "COM1 (fake:COM1): the device has gone: " + std::string(testing::kFakeGone));
  EXPECT_LT(clock.Now(), 5000) << "no minute of waiting for a port that has gone";
  EXPECT_TRUE(InNoPortState());
}

// The report came, then the line went before the next look at it: the
// report is the outcome, and the lost port's box follows it.
TEST_F(DvbDownloadTest, AReportThatCameBeforeTheLineWentIsTheOutcome) {
  OpenPort();
  UseInstrument({.flash_ms = 2500});  // the report between the third and fourth look
  window.on_event = [&](const std::string& e) {
    if (e == "Label1=FLASHING") window.At(clock.Now() + 2700, [&] { dev().gone = true; });
  };
  EXPECT_EQ(RunWithFile(std::string(2000, 'x')), Outcome::kSuccess);
  ASSERT_GE(window.boxes.size(), 2u);
  EXPECT_EQ("box[" + window.boxes[window.boxes.size() - 2].caption + "] " +
                window.boxes[window.boxes.size() - 2].text,
            kCompleted);
  EXPECT_NE(window.boxes.back().text.find("comport 'COM1' has gone"), std::string::npos);
  EXPECT_LT(clock.Now(), 10'000) << "no minute of attempts after the line went";
}

// The header announces the size measured at the start; exactly that many
// bytes follow, whatever happens to the file meanwhile.
TEST_F(DvbDownloadTest, AFileThatChangesDuringTheTransferSendsNoMoreThanAnnounced) {
  OpenPort();
  UseInstrument();
  const std::string image = testing::EveryByteImage(3000);
  TempFile file(image, "firmware.bin");
  dev().on_byte = [&](char) {
    if (Written().size() == Written().find("SX\r") + 3 + 10 + 100) {
      std::ofstream(file.path, std::ios::binary | std::ios::app) << "EXTRA";
    }
  };
  window.dialog_answers = {file.path};
  core.Button3Click();
  EXPECT_EQ(AfterCommand().substr(0, 10), std::string("\x23\x04\x78\x56\x34\x12\xB8\x0B\x00\x00", 10));
  EXPECT_EQ(instrument->received(), image);
  EXPECT_EQ(AfterCommand().find("EXTRA"), std::string::npos) << "grown: nothing beyond the length";
  EXPECT_TRUE(window.Saw(kCompleted));
}

TEST_F(DvbDownloadTest, AFileThatShrinksDuringTheTransferFailsAtOnce) {
  OpenPort();
  UseInstrument();
  TempFile file(std::string(50000, 'x'), "firmware.bin");  // more than the file's buffer
  dev().on_byte = [&](char) {
    if (Written().size() == Written().find("SX\r") + 3 + 10 + 100) {
      std::filesystem::resize_file(file.path, 1500);
    }
  };
  window.dialog_answers = {file.path};
  core.Button3Click();
  EXPECT_TRUE(window.Saw(kFailed));
  EXPECT_FALSE(window.Saw("Label1=FLASHING"));
  EXPECT_LT(clock.Now(), 30'000) << "no minute of waiting for an image that is not coming";
}

TEST_F(DvbDownloadTest, AnXoffFromBeforeTheDownloadDoesNotHoldIt) {
  OpenPort();
  UseInstrument();
  dev().xoff = true;  // a stray XOFF while the program was idle
  RunWithFile("image");
  EXPECT_TRUE(window.Saw(kCompleted));
}

}  // namespace
}  // namespace fwdl
