// The program's command line, run as a user runs it: what it prints, its
// exit codes, and that none of it needs a display.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int code;
  std::string out;
};

// Runs the program without any display. `streams` picks what is read:
// "2>/dev/null" standard output, "2>&1 >/dev/null" standard error.
Outcome Program(const std::string& args, const char* streams, const char* display = nullptr) {
  // A program that opened its window after all would never end: ten seconds.
  std::string command =
      "ulimit -c 0; timeout 10 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
  if (display) command += std::string("DISPLAY=") + display + " ";
  command += FWDL_PROGRAM_PATH " " + args + " " + streams;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out};
}

TEST(CommandLine, HelpAndVersionPrintAndExit) {
  const Outcome help = Program("--help", "2>/dev/null");
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: firmware-downloader [--help | --version]\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("FWDL_COM3=/dev/ttyUSB0"), std::string::npos);
  const Outcome version = Program("--version", "2>/dev/null");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "firmware-downloader 1.0.0.0\n");
}

TEST(CommandLine, AnyOtherArgumentIsRefusedInOneLine) {
  for (const char* args : {"--bogus", "demo.hex", "--help --version", "-platform offscreen"}) {
    const Outcome run = Program(args, "2>&1 >/dev/null");
    EXPECT_EQ(run.code, 2) << args;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(run.out.rfind("firmware-downloader: unknown argument '", 0), 0u) << run.out;
  }
}

TEST(CommandLine, NoDisplayEndsInOneLineNotACoreDump) {
  const Outcome unset = Program("", "2>&1 >/dev/null");
  EXPECT_EQ(unset.code, 1);
  EXPECT_EQ(unset.out,
            "firmware-downloader: no display (DISPLAY is not set); start it on a desktop\n");
  const Outcome gone = Program("", "2>&1 >/dev/null", ":1999");
  EXPECT_EQ(gone.code, 1);
  EXPECT_EQ(gone.out, "firmware-downloader: cannot open the display ':1999'\n");
}

}  // namespace
