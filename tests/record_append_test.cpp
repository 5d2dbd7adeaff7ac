// Eight fwdl processes appending their records to one file at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "app/run/append.h"
#include "app/run/record.h"
#include "support/rig.h"

namespace fwdl::console {
namespace {

TEST(AppendFile, EightProcessesAtOnceLoseAndMixNoLine) {
  constexpr int kProcesses = 8, kLines = 6;
  fwdl::testing::TempFile records("");
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      AppendFile file;
      if (file.Open(records.path)) _exit(2);
      char go;
      (void)!read(start[0], &go, 1);  // all together, once the parent closes the pipe
      for (int i = 0; i < kLines; ++i) {
        RunRecord record;
        record.serial = std::to_string(p) + "/" + std::to_string(i);
        record.instrument_text = std::string(20'000, static_cast<char>('a' + p));
        if (file.Append(RecordLine(record))) _exit(3);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::ifstream in(records.path, std::ios::binary);
  std::set<std::string> seen;
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const auto got = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(got.is_discarded()) << "line " << lines + 1 << " is broken";
    const std::string serial = got["serial"];
    const char owner = static_cast<char>('a' + (serial[0] - '0'));
    EXPECT_EQ(got["instrument_text"], std::string(20'000, owner)) << serial;
    seen.insert(serial);
  }
  EXPECT_EQ(lines, kProcesses * kLines);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProcesses * kLines));
}

TEST(AppendFile, RefusesAnythingButARegularFile) {
  AppendFile device;
  EXPECT_EQ(device.Open("/dev/null"), "not a regular file");
  EXPECT_FALSE(device.IsOpen());
}

}  // namespace
}  // namespace fwdl::console
