// Whole downloads in real time: the procedures on the real POSIX port,
// over a pseudo-terminal, against the simulated instrument in its own
// process. This is where termios mistakes show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <regex>
#include <thread>

#include "support/real_rig.h"
#include "support/sim_process.h"

namespace fwdl {
namespace {

using testing::Millis;
using testing::RealRig;
using testing::SimProcess;
using testing::TempFile;

std::string HexFileOf(int lines) {
  std::string hex;
  for (int i = 0; i < lines; ++i) {
    char record[64];
    std::snprintf(record, sizeof record, ":10%04X00000102030405060708090A0B0C0D0E0F%02X\r\n",
                  i * 16, (0x100 - ((0x10 + (i * 16 >> 8) + (i * 16 & 0xFF) + 0x78) & 0xFF)) & 0xFF);
    hex += record;
  }
  return hex + ":00000001FF\r\n";
}

TEST(EndToEnd, HexDownloadSendsTheFileAsTheLoaderReadsIt) {
  TempFile workspace("");
  const std::string dir = std::filesystem::path(workspace.path).parent_path();
  SimProcess sim(dir, {"--charger-ms", "300", "--quiet-ms", "400"});
  RealRig rig(sim.path);
  const std::string body = HexFileOf(60);
  TempFile file(body + "\x1A:00000001FF\r\nafter Ctrl-Z\r\n", "firmware.hex");
  rig.window.dialog_answers = {file.path};
  bool q_before_box = false;
  rig.window.on_event = [&](const std::string& e) {
    if (e.rfind("box[INFO]", 0) == 0) {
      q_before_box = sim.ReceivedOnce([](const std::string& l) { return l.ends_with('Q'); })
                         .ends_with('Q');
    }
  };
  rig.core.Button1Click();

  std::string expected = body;
  std::erase(expected, '\r');
  EXPECT_EQ(sim.Image(), expected) << "the bytes after Y must be the file without CRs, up to Ctrl-Z";
  const std::string log = sim.Received();
  EXPECT_EQ(log.substr(log.find("\rLY") + 3), expected + "Q");
  ASSERT_FALSE(rig.window.boxes.empty());
  EXPECT_EQ(rig.window.boxes.back().caption, "INFO");
  EXPECT_EQ(rig.window.boxes.back().text, "Firmware programmed OK");
  EXPECT_TRUE(q_before_box);
  EXPECT_TRUE(rig.window.closed);
  EXPECT_FALSE(rig.link.PortOpen());
}

TEST(EndToEnd, HexDownloadWithAnErrorVerdictKeepsTheProgram) {
  TempFile workspace("");
  const std::string dir = std::filesystem::path(workspace.path).parent_path();
  SimProcess sim(dir, {"--charger-ms", "100", "--quiet-ms", "400", "--verdict", "error"});
  RealRig rig(sim.path);
  TempFile file(HexFileOf(20), "firmware.hex");
  rig.window.dialog_answers = {file.path};
  rig.core.Button1Click();

  ASSERT_FALSE(rig.window.boxes.empty());
  EXPECT_EQ(rig.window.boxes.back().text,
            "Error while downloading.\r\n'?Checksum error'\r\nPlease try again...");
  EXPECT_EQ(rig.window.boxes.back().caption, "ERROR");
  // Whatever the program sent after the verdict reaches the instrument
  // ahead of a byte sent now.
  rig.link.WriteToPort("#", 1);
  const std::string log = sim.ReceivedOnce([](const std::string& l) { return l.ends_with('#'); });
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], '\n') << "no Q after an error verdict";
  EXPECT_FALSE(rig.window.closed);
  EXPECT_TRUE(rig.link.PortOpen());
}

TEST(EndToEnd, DvbDownloadRebuildsTheImageByteForByteThroughAnXoff) {
  TempFile workspace("");
  const std::string dir = std::filesystem::path(workspace.path).parent_path();
  // The size 0x0001131B puts 0x1B and 0x13 into the header's length.
  const std::size_t size = 0x1131B;
  SimProcess sim(dir, {"--flash-ms", "300", "--xoff-at", "30000", "--xoff-ms", "1500",
                       "--result-tail", "\\r\\n"});
  RealRig rig(sim.path);
  const std::string image = testing::EveryByteImage(size);
  TempFile file(image, "firmware.bin");
  rig.window.dialog_answers = {file.path};
  // While the line is held, the window's events are still handled on time.
  Millis click_due = -1, click_ran = -1;
  rig.window.on_event = [&](const std::string& e) {
    rig.seen.emplace(e, rig.clock.Now());
    if (e == "Label2=Downloading.") {
      click_due = rig.clock.Now() + 700;
      rig.window.At(click_due, [&] { click_ran = rig.clock.Now(); });
    }
  };
  rig.core.Button3Click();

  EXPECT_TRUE(sim.Image() == image) << "the rebuilt image differs from the file";
  EXPECT_EQ(sim.Image().size(), size);
  const std::string log = sim.Received();
  const std::size_t command = log.find("SX\r");
  ASSERT_NE(command, std::string::npos);
  EXPECT_EQ(log.substr(command + 3, 10), std::string("\x23\x04\x78\x56\x34\x12\x1B\x13\x01\x00", 10))
      << "the header goes out unescaped";
  EXPECT_GE(rig.TimeOf("Label1=FLASHING") - rig.TimeOf("Label2=Downloading."), 1500)
      << "the instrument's XOFF held the program back";
  // A held write lets the window live: the click ran while the line was held.
  EXPECT_GE(click_ran, click_due) << "the click never ran";
  EXPECT_LT(click_ran, rig.TimeOf("Label1=FLASHING")) << "a held write froze the window";
  EXPECT_TRUE(rig.window.Saw("box[Info] Download comleted.\r\n\r\nPower off instrument."))
      << "the short report \"Flashed successfully...\\r\\n\" is a success";
  EXPECT_TRUE(rig.window.closed);
}

// While no download runs the instrument chatters: a stray XOFF that never
// gets its XON, 60 KB of status text; and someone mistypes a command to the
// simulator. None of it disturbs the download that follows.
TEST(EndToEnd, IdleChatterAndAStrayXoffDoNotDisturbTheNextDownload) {
  TempFile workspace("");
  const std::string dir = std::filesystem::path(workspace.path).parent_path();
  SimProcess sim(dir, {"--flash-ms", "300"});
  RealRig rig(sim.path);
  rig.window.time_limit = 60'000;
  sim.Command("say \\x13");
  sim.Command("burst 60000");
  sim.Command("say \\xZZ");
  const Millis until = rig.clock.Now() + 1500;
  while (rig.clock.Now() < until) rig.window.WaitForEvents();
  EXPECT_TRUE(rig.window.boxes.empty());
  ASSERT_TRUE(rig.link.PortOpen());
  EXPECT_TRUE(sim.Running()) << "a malformed command ended the simulator";

  const std::string image = testing::EveryByteImage(5000);
  TempFile file(image, "firmware.bin");
  rig.window.dialog_answers = {file.path};
  rig.core.Button3Click();
  EXPECT_TRUE(sim.Image() == image);
  EXPECT_TRUE(rig.window.Saw("box[Info] Download comleted.\r\n\r\nPower off instrument."));
}

// The cable is pulled (the simulator ends) in the middle of each transfer:
// the download ends within a few seconds, the port is closed, and the user
// is told why, with the system's reason; the program goes on without a port.
TEST(EndToEnd, PullingTheCableEndsEitherDownloadPromptly) {
  for (const bool dvb : {false, true}) {
    TempFile workspace("");
    const std::string dir = std::filesystem::path(workspace.path).parent_path();
    SimProcess sim(dir, {"--baud", "57600", "--charger-ms", "100"});
    RealRig rig(sim.path);
    rig.window.time_limit = 60'000;
    Millis pulled = -1;
    rig.window.on_event = [&](const std::string& e) {
      if (e == "Label1=0% done") {
        rig.window.At(rig.clock.Now() + 500, [&] {
          sim.Kill();
          pulled = rig.clock.Now();
        });
      }
    };
    TempFile file(dvb ? testing::EveryByteImage(100'000) : HexFileOf(2000),
                  dvb ? "firmware.bin" : "firmware.hex");
    rig.window.dialog_answers = {file.path};
    SCOPED_TRACE(dvb ? "DVB" : "HEX");
    EXPECT_EQ(dvb ? rig.core.Button3Click() : rig.core.Button1Click(), Outcome::kPortLost);
    ASSERT_GE(pulled, 0);
    EXPECT_LT(rig.clock.Now() - pulled, 3000);
    EXPECT_FALSE(rig.link.PortOpen());
    ASSERT_FALSE(rig.window.boxes.empty());
    const testing::Box& told = rig.window.boxes.back();
    EXPECT_EQ(told.caption, "ERROR");
    EXPECT_NE(told.text.find("'COM1' has gone"), std::string::npos) << told.text;
    EXPECT_EQ(told.details, "COM1 (" + sim.path + "): the device has gone: Input/output error");
    EXPECT_EQ(rig.window.label2, "Select Port...");
    EXPECT_FALSE(rig.window.visible[0] || rig.window.visible[2]);
    EXPECT_TRUE(rig.window.port1_enabled && rig.window.exit1_enabled && !rig.window.closed);
  }
}

// Reads `fd` until `text` has come or `ms` milliseconds have passed.
std::string ReadUntil(int fd, const std::string& text, int ms) {
  std::string got;
  char buffer[256];
  pollfd p{fd, POLLIN, 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < until &&
         poll(&p, 1, 10) >= 0) {
    const ssize_t n = p.revents & POLLIN ? read(fd, buffer, sizeof buffer) : 0;
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// A sender that ignores XOFF, as a driver without a stop does, against an
// instrument whose receive buffer can overflow, after the line has idled
// (no credit for a burst): the HEX file loses bytes and gets an error
// verdict, the simulator's closing line counts them, and the one hold ends
// with its XON. The flash is slow enough that a simulator held up by a busy
// machine still overflows. (Bytes that the margin takes after an XOFF are
// kept: the receive buffer's own tests show that on a made-up clock.)
TEST(EndToEnd, AnOverflowingInstrumentCountsWhatItLost) {
  TempFile workspace("");
  SimProcess sim(std::filesystem::path(workspace.path).parent_path(),
                 {"--baud", "57600", "--rx-buffer", "1024", "--flash-rate", "1000", "--flash-ms",
                  "100", "--charger-ms", "0"},
                 /*keep_errors=*/true);
  const int line = open(sim.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(write(line, "F", 1), 1);
  ASSERT_NE(ReadUntil(line, ">", 2000), "");
  const std::string bytes = "LY" + std::string(6000, 'a');
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(write(line, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  const std::string said = ReadUntil(line, "Bye.", 10'000);
  sim.Kill();
  close(line);

  std::smatch m;
  const std::string errors = sim.Errors();
  ASSERT_TRUE(std::regex_search(errors, m, std::regex("rx-buffer: lost (\\d+) bytes; at most "
                                                      "(\\d+) bytes after an XOFF; (\\d+) holds")))
      << errors;
  EXPECT_GT(std::stol(m[1]), 0) << m[0];
  EXPECT_TRUE(std::stol(m[2]) >= std::stol(m[1]) && m[3] == "1") << m[0];
  EXPECT_NE(said.find("?Checksum error"), std::string::npos);
  std::string flow;
  std::copy_if(said.begin(), said.end(), std::back_inserter(flow),
               [](char c) { return c == 0x11 || c == 0x13; });
  EXPECT_EQ(flow, "\x13\x11") << "one hold, with its XON at the end";
}

}  // namespace
}  // namespace fwdl
