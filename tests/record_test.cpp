// The record of a run: the JSON line read back field by field, the label
// of --serial, and the record file refused up front.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "app/run/append.h"
#include "app/run/locked_file.h"
#include "app/run/odbc_store.h"
#include "app/run/record.h"
#include "support/rig.h"

namespace fwdl::console {
namespace {

using fwdl::testing::TempFile;
using nlohmann::json;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RecordLine, ReadsBackFieldByFieldWhateverTheInstrumentSent) {
  RunRecord record;
  record.run_id = "1b4e28ba-2fa1-4d2b-883f-0016d3cca427";
  record.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714641243215));
  record.duration = std::chrono::milliseconds(63402);
  record.host = "station-4";
  record.version = "1.0.0.0";
  record.procedure = "hex";
  record.port = "COM3";
  record.device = "/dev/ttyUSB0";
  record.adapter = {"ftdi_sio", "0403:6001", std::nullopt};
  record.flow_control = "xon_xoff";
  record.firmware_path = "fw\xFF.hex";  // not UTF-8
  record.firmware_size = 28811;
  record.firmware_sha256 = std::string(64, 'a');
  record.firmware_signed_by = "3f2a9c1e5d7a04b3";
  record.bytes_written = 27403;
  record.outcome = "error_verdict";
  record.exit_code = 1;
  // Quotes, backslashes, control bytes, a NUL, and bytes of no encoding.
  record.instrument_text = std::string("?Checksum \"error\"\\\r\n\x00\x01\x1B\x7F\x80\xE9\xFF", 27);
  record.serial = "A-1234";

  const std::string line = RecordLine(record);
  ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line";
  for (const char c : line.substr(0, line.size() - 1)) {
    EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "no raw control byte";
  }
  const json got = json::parse(line);  // throws on invalid UTF-8 or JSON
  EXPECT_EQ(got["start"], "2024-05-02T09:14:03.215Z");
  EXPECT_EQ(got["duration_s"], 63.402);
  EXPECT_EQ(got["host"], "station-4");
  EXPECT_EQ(got["fwdl_version"], "1.0.0.0");
  EXPECT_EQ(got["procedure"], "hex");
  EXPECT_EQ(got["port"], "COM3");
  EXPECT_EQ(got["device"], "/dev/ttyUSB0");
  EXPECT_EQ(got["adapter"], json({{"driver", "ftdi_sio"}, {"usb", "0403:6001"},
                                  {"serial_number", nullptr}}));
  EXPECT_EQ(got["flow_control"], "xon_xoff");
  EXPECT_EQ(got["firmware"], json({{"path", "fw\xEF\xBF\xBD.hex"}, {"size", 28811},
                                   {"sha256", std::string(64, 'a')}, {"signed_by", "3f2a9c1e5d7a04b3"}}));
  EXPECT_EQ(got["bytes_written"], 27403);
  EXPECT_EQ(got["outcome"], "error_verdict");
  EXPECT_EQ(got["exit_code"], 1);
  // Every byte back as the Latin-1 character of its value.
  EXPECT_EQ(got["instrument_text"],
            std::string("?Checksum \"error\"\\\r\n\x00\x01\x1B\x7F\xC2\x80\xC3\xA9\xC3\xBF", 30));
  EXPECT_EQ(got["serial"], "A-1234");
  EXPECT_EQ(got["run_id"], record.run_id);
  EXPECT_EQ(got.size(), 16u);
}

TEST(RunId, ARandomUuidOfVersion4) {
  const std::string a = NewRunId(), b = NewRunId();
  const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(a, uuid4)) << a;
  EXPECT_NE(a, b);
}

// What may be shown of a connection string, and the instrument's text as
// the database holds it.
TEST(OdbcTexts, PasswordsHiddenAndNulEscapedBothWays) {
  const std::pair<const char*, const char*> shown[] = {
      {"DSN=factory", "DSN=factory"},
      {"Driver={PostgreSQL Unicode};Uid=fwdl;Pwd=s3cret;Port=5432",
       "Driver={PostgreSQL Unicode};Uid=fwdl;Pwd=***;Port=5432"},
      {"DSN=x;PASSWORD={a;b=c}", "DSN=x;PASSWORD=***"},
      {"DSN=x; pwd =s;password=t", "DSN=x; pwd =***;password=***"},
  };
  for (const auto& [given, expected] : shown) EXPECT_EQ(HidePassword(given), expected) << given;
  const std::string bytes("a\\0b\0\\\\\xFF", 8);  // a \ 0 b NUL \ \ 0xFF
  EXPECT_EQ(EscapeNul(bytes), "a\\\\0b\\0\\\\\\\\\xFF");
  EXPECT_EQ(UnescapeNul(EscapeNul(bytes)), bytes);
}

TEST(UtcTimestamp, IsoWithMilliseconds) {
  struct {
    std::int64_t ms;
    const char* text;
  } const cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1709251199999, "2024-02-29T23:59:59.999Z"},
      {946684799000, "1999-12-31T23:59:59.000Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(c.ms))),
              c.text);
  }
}

TEST(SerialLabel, UpTo64PrintableCharacters) {
  struct {
    std::string text;
    bool fine;
  } const cases[] = {
      {"A-1234 line 2", true},
      {std::string(64, 'x'), true},
      {std::string(65, 'x'), false},
      {"", false},
      {"a\tb", false},
      {"a\x7F", false},
      {"M\xC3\xBCller", true},  // UTF-8
      {[] {
         std::string text;
         for (int i = 0; i < 64; ++i) text += "\xC3\xBC";
         return text;
       }(),
       true},  // 64 characters in 128 bytes
      {"M\xFCller", false},  // Latin-1, not UTF-8
      {"a\xC2\x85", false},  // a C1 control
  };
  for (const auto& c : cases) {
    EXPECT_EQ(!SerialLabelProblem(c.text), c.fine) << c.text;
  }
}

TEST(AppendFile, AppendsAndRefusesWhatCannotBeWrittenUpFront) {
  TempFile existing("first\n");
  AppendFile file;
  ASSERT_EQ(file.Open(existing.path), std::nullopt);
  EXPECT_EQ(file.Append("second\n"), std::nullopt);
  EXPECT_EQ(file.Append("third\n"), std::nullopt);
  file.Close();
  EXPECT_EQ(Slurp(existing.path), "first\nsecond\nthird\n");

  // Root may write anywhere, but not below a file, nor into a folder.
  const std::string folder = std::filesystem::path(existing.path).parent_path().string();
  for (const std::string& path : {existing.path + "/record.jsonl", folder}) {
    AppendFile refused;
    const auto reason = refused.Open(path);
    ASSERT_TRUE(reason) << path;
    EXPECT_FALSE(reason->empty());
    EXPECT_FALSE(refused.IsOpen());
  }
}

// Slots of a station end together and append to one record file, each
// through its own handle: every line arrives whole, none written over.
TEST(AppendFile, WritersThatEndTogetherKeepEveryLine) {
  constexpr int kWriters = 8, kLines = 25;
  TempFile records("");
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      AppendFile file;
      ASSERT_EQ(file.Open(records.path), std::nullopt);
      for (int i = 0; i < kLines; ++i) {
        RunRecord record;
        record.serial = std::to_string(w) + "/" + std::to_string(i);
        EXPECT_EQ(file.Append(RecordLine(record)), std::nullopt);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::istringstream lines(Slurp(records.path));
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    const json got = json::parse(line, nullptr, false);
    ASSERT_FALSE(got.is_discarded()) << line;
    seen.insert(got["serial"].get<std::string>());
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kLines));
}

#ifdef _WIN32
// Windows rewrites the spool in place: a crash in the middle of it is
// finished by the next lock from FILE.new when that was written whole, and
// leaves the spool as it was when FILE.new was not.
TEST(LockedFile, ARewriteCutShortIsFinishedOrWasNeverBegun) {
  using namespace std::chrono_literals;
  TempFile spool("li");  // torn in the middle of its rewrite
  const std::string intent = spool.path + ".new";
  auto locked_text = [&] {
    LockedFile file;
    std::string text;
    EXPECT_EQ(file.Lock(spool.path, 1s), std::nullopt);
    EXPECT_EQ(file.Read(text), std::nullopt);
    return text;
  };
  std::ofstream(intent, std::ios::binary) << "fwdl spool rewrite, bytes: 6\nline2\n";
  EXPECT_EQ(locked_text(), "line2\n");
  EXPECT_FALSE(std::filesystem::exists(intent));
  std::ofstream(intent, std::ios::binary) << "fwdl spool rewrite, bytes: 60\nline3";
  EXPECT_EQ(locked_text(), "line2\n");
  EXPECT_FALSE(std::filesystem::exists(intent));
  LockedFile file;
  ASSERT_EQ(file.Lock(spool.path, 1s), std::nullopt);
  ASSERT_EQ(file.Replace("line4\n"), std::nullopt);
  EXPECT_EQ(Slurp(spool.path), "line4\n");
  EXPECT_FALSE(std::filesystem::exists(intent));
}
#endif

}  // namespace
}  // namespace fwdl::console
