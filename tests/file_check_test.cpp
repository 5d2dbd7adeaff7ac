// Firmware files checked before an instrument is touched: the HEX check,
// the DVB header, SHA-256, and fwdl check's report.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "app/run/check.h"
#include "download/dvb_header.h"
#include "download/hex_check.h"
#include "platform/sha256.h"
#include "support/rig.h"

namespace fwdl {
namespace {

using testing::TempFile;

// A record with its checksum right.
std::string Record(std::uint16_t address, std::uint8_t type, const std::vector<std::uint8_t>& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  char digits[16];
  std::snprintf(digits, sizeof digits, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                address, type);
  std::string record = digits;
  for (const std::uint8_t byte : data) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte);
    record += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return record + digits;
}

std::string Data(std::uint16_t address, std::size_t count = 16) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + address);
  return Record(address, 0, bytes);
}
std::string Upper(std::uint8_t type, std::uint16_t value) {
  return Record(0, type, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
const std::string kEnd = ":00000001FF";
const std::string kRec = Data(0);  // 43 characters, the checksum in columns 42 and 43

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The same text fed whole and one byte at a time, as pieces of a file end anywhere.
std::vector<HexSummary> CheckBothWays(const std::string& text) {
  HexChecker bytewise;
  for (const char c : text) bytewise.Feed(std::string_view(&c, 1));
  return {CheckHexText(text), bytewise.Finish()};
}

TEST(HexCheck, ValidFiles) {
  struct {
    const char* what;
    std::string text;
    std::uint64_t data_bytes;
    std::vector<HexRange> ranges, overlaps;
  } const cases[] = {
      {"LF", kRec + "\n" + Data(0x10) + "\n" + kEnd + "\n", 32, {{0x00, 0x1F}}, {}},
      {"CR LF, lowercase digits, no line end at the end",
       kRec + "\r\n" + Lowercase(Data(0x10)) + "\r\n" + kEnd, 32, {{0x00, 0x1F}}, {}},
      {"linear addresses; ranges sorted and merged",
       Upper(4, 0x0800) + "\n" + Data(0x1000) + "\n" + Data(0x10) + "\n" + kRec + "\n" + kEnd, 48,
       {{0x08000000, 0x0800001F}, {0x08001000, 0x0800100F}}, {}},
      {"segment addresses", Upper(2, 0x1000) + "\n" + Data(0x20, 4) + "\n" + kEnd, 4,
       {{0x10020, 0x10023}}, {}},
      {"a segment base of any 16 bytes, then a linear base again",
       Upper(2, 0x1234) + "\n" + Data(0x10, 4) + "\n" + Upper(4, 0x0001) + "\n" + Data(0x10, 4) +
           "\n" + kEnd,
       8, {{0x10010, 0x10013}, {0x12350, 0x12353}}, {}},
      {"an offset wraps inside its segment, not past it",
       Upper(2, 0x1000) + "\n" + Data(0xFFF8) + "\n" + kEnd, 16,
       {{0x10000, 0x10007}, {0x1FFF8, 0x1FFFF}}, {}},
      {"records that touch are one range, in either order",
       Data(0x20) + "\n" + Data(0x10) + "\n" + Upper(2, 0x0100) + "\n" + Data(0x00) + "\n" +
           Data(0x10) + "\n" + kEnd,
       64, {{0x0010, 0x002F}, {0x1000, 0x101F}}, {}},
      {"an offset wraps within its segment", Data(0xFFF8) + "\n" + kEnd, 16,
       {{0x0000, 0x0007}, {0xFFF8, 0xFFFF}}, {}},
      {"a linear address wraps at 4 GiB", Upper(4, 0xFFFF) + "\n" + Data(0xFFF8) + "\n" + kEnd, 16,
       {{0x00000000, 0x00000007}, {0xFFFFFFF8, 0xFFFFFFFF}}, {}},
      {"overlaps", kRec + "\n" + Data(0x08) + "\n" + Data(0x00, 4) + "\n" + kEnd, 36,
       {{0x00, 0x17}}, {{0x00, 0x03}, {0x08, 0x0F}}},
      {"a record that overlaps the one before it by one byte", kRec + "\n" + Data(0x0F) + "\n" + kEnd,
       32, {{0x00, 0x1E}}, {{0x0F, 0x0F}}},
      {"start addresses; line ends and Ctrl-Z after the end",
       Record(0, 3, {0, 0, 1, 0}) + "\n" + Record(0, 5, {0, 0, 1, 0}) + "\n" + kRec + "\n" + kEnd +
           "\r\n\n\x1A\x1A",
       16, {{0x00, 0x0F}}, {}},
      {"Ctrl-Z right after the end record", kRec + "\n" + kEnd + "\x1A", 16, {{0x00, 0x0F}}, {}},
  };
  for (const auto& c : cases) {
    for (const HexSummary& summary : CheckBothWays(c.text)) {
      ASSERT_FALSE(summary.error) << c.what << ": " << summary.error->Text();
      EXPECT_EQ(summary.data_bytes, c.data_bytes) << c.what;
      EXPECT_EQ(summary.ranges, c.ranges) << c.what;
      EXPECT_EQ(summary.overlaps, c.overlaps) << c.what;
    }
  }
}

std::string Replaced(std::string text, std::size_t at, char c) {
  text[at] = c;
  return text;
}

TEST(HexCheck, BrokenFilesNameTheFirstFaultAndWhere) {
  using F = HexFault;
  struct {
    const char* what;
    std::string text;
    HexFault fault;
    std::uint64_t line, column;
  } const cases[] = {
      {"bad checksum", kRec + "\n" + Replaced(kRec, 42, kRec[42] == '0' ? '1' : '0') + "\n" + kEnd,
       F::kChecksum, 2, 42},
      {"record shorter than its count", std::string(kRec).erase(10, 2) + "\n" + kEnd, F::kTooShort,
       1, 42},
      {"too short for a count", ":0\n" + kEnd, F::kTooShort, 1, 3},
      {"record longer than its count", kRec + "00\n" + kEnd, F::kTooLong, 1, 44},
      {"bad digit", Replaced(kRec, 12, 'G') + "\n" + kEnd, F::kBadDigit, 1, 13},
      {"a space after the checksum", kRec + " \n" + kEnd, F::kNoLineEnd, 1, 44},
      {"missing end record", kRec + "\n", F::kNoEndRecord, 2, 1},
      {"doubled end record", kRec + "\n" + kEnd + "\n" + kEnd + "\n", F::kSecondEndRecord, 3, 1},
      {"a record after the end", kRec + "\n" + kEnd + "\n" + Data(0x10), F::kAfterEnd, 3, 1},
      {"text after the end", kRec + "\n" + kEnd + "\nx", F::kAfterEnd, 3, 1},
      {"text after a Ctrl-Z after the end", kRec + "\n" + kEnd + "\n\x1Ax", F::kAfterEnd, 3, 2},
      {"cut mid-record", kRec + "\n" + kRec.substr(0, 20), F::kCut, 2, 21},
      {"unknown record type", Record(0, 6, {}) + "\n" + kRec + "\n" + kEnd, F::kUnknownType, 1, 8},
      {"wrong length of an address record", Record(0, 4, {0, 0, 0}) + "\n" + kEnd,
       F::kWrongLength, 1, 2},
      {"a line not starting with ':'", kRec + "\nS" + kRec.substr(1) + "\n" + kEnd, F::kNoStartCode,
       2, 1},
      {"empty", "", F::kEmpty, 0, 0},
      {"blank line", kRec + "\n\n" + kEnd, F::kBlankLine, 2, 1},
      {"blank CR LF line", kRec + "\r\n\r\n" + kEnd, F::kBlankLine, 2, 1},
      {"Ctrl-Z before the end", kRec + "\n\x1A" + kEnd, F::kCtrlZ, 2, 1},
      {"Ctrl-Z inside a record", kRec.substr(0, 20) + "\x1A" + kEnd, F::kCtrlZ, 1, 21},
      {"carriage return alone", kRec + "\r" + kRec + "\n" + kEnd, F::kLoneCarriageReturn, 1, 44},
      {"no data bytes", Upper(4, 0) + "\n" + kEnd + "\n", F::kNoData, 0, 0},
  };
  for (const auto& c : cases) {
    for (const HexSummary& summary : CheckBothWays(c.text)) {
      ASSERT_TRUE(summary.error) << c.what;
      EXPECT_EQ(summary.error->fault, c.fault) << c.what << ": " << summary.error->Text();
      EXPECT_EQ(summary.error->line, c.line) << c.what;
      EXPECT_EQ(summary.error->column, c.column) << c.what;
    }
  }
}

TEST(HexCheck, ErrorTellsTheTechnicianWhatIsWrong) {
  const HexSummary summary = CheckHexText(":0300300002337A1F\n" + kEnd);
  ASSERT_TRUE(summary.error);
  EXPECT_EQ(summary.error->Text(), "line 1, column 16: checksum is 0x1F, the record's bytes need 0x1E");
}

TEST(DvbHeader, AnnouncesTheLengthAfterTheMarker) {
  struct {
    std::uint32_t length;
    std::array<std::uint8_t, 10> header;
  } const cases[] = {
      {1, {0x23, 0x04, 0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00}},
      {0x01020304, {0x23, 0x04, 0x78, 0x56, 0x34, 0x12, 0x04, 0x03, 0x02, 0x01}},
      {0xFFFFFFFF, {0x23, 0x04, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) EXPECT_EQ(DvbHeader(c.length), c.header) << c.length;
  EXPECT_FALSE(DvbImageSizeFits(0));
  EXPECT_TRUE(DvbImageSizeFits(1));
  EXPECT_TRUE(DvbImageSizeFits(0xFFFFFFFF));
  EXPECT_FALSE(DvbImageSizeFits(0x100000000));
}

TEST(Sha256, KnownDigestsOfFiles) {
  struct {
    std::string content;
    const char* digest;
  } const cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Many times the size of a read.
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    TempFile file(c.content);
    EXPECT_EQ(Sha256OfFile(file.path), c.digest) << c.content.size() << " bytes";
  }
  TempFile folder("");
  EXPECT_EQ(Sha256OfFile(folder.path + ".missing"), std::nullopt);
}

TEST(RunCheck, ReportsEachFigureOnItsOwnLine) {
  const std::string hex = kRec + "\r\n" + Upper(4, 0x0800) + "\r\n" + kRec + "\r\n" + kEnd + "\r\n";
  struct {
    const char* what;
    std::optional<std::string> content;  // none: no file
    std::string name;
    std::optional<console::FileKind> kind;
    int exit_code;
    std::vector<std::string> lines;  // in this order in the report
  } const cases[] = {
      {"valid HEX", hex, "fw.HEX", std::nullopt, 0,
       {"kind: hex (Intel HEX)", "size: " + std::to_string(hex.size()) + " bytes", "sha256: ",
        "data bytes: 32", "ranges: 2", "range: 0x00000000-0x0000000F (16 bytes)",
        "range: 0x08000000-0x0800000F (16 bytes)", "overlaps: none", "result: valid"}},
      {"overlapping HEX", kRec + "\n" + kRec + "\n" + kEnd, "fw.hex", std::nullopt, 0,
       {"overlaps: 1 (16 bytes written more than once)",
        "overlap: 0x00000000-0x0000000F (16 bytes)", "result: valid"}},
      {"broken HEX", kRec + "\n" + kRec.substr(0, 30), "fw.hex", std::nullopt, 5,
       {"sha256: ", "error: line 2, column 31: the file ends inside this record", "result: invalid"}},
      {"DVB", "12345", "fw.bin", std::nullopt, 0,
       {"kind: dvb (DVB image)", "size: 5 bytes", "sha256: ",
        "header: 23 04 78 56 34 12 05 00 00 00", "result: valid"}},
      {"empty DVB", "", "fw.bin", std::nullopt, 5,
       {"size: 0 bytes", "error: the file is empty", "result: invalid"}},
      {"kind given", "12345", "firmware", console::FileKind::kDvb, 0, {"result: valid"}},
      {"missing", std::nullopt, "fw.hex", std::nullopt, 5,
       {"error: cannot be read: no such file", "result: invalid"}},
  };
  for (const auto& c : cases) {
    TempFile file(c.content.value_or(""), c.name);
    if (!c.content) std::filesystem::remove(file.path);
    std::ostringstream out, err;
    EXPECT_EQ(console::RunCheck(file.path, c.kind, out, err), c.exit_code) << c.what;
    EXPECT_EQ(err.str(), "") << c.what;
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
      at = out.str().find("\n" + line, at);
      ASSERT_NE(at, std::string::npos) << c.what << ": no \"" << line << "\" in\n" << out.str();
    }
    if (c.content && c.exit_code == 0) {
      EXPECT_NE(out.str().find("sha256: " + *Sha256OfFile(file.path) + "\n"), std::string::npos);
    }
  }
}

TEST(RunCheck, AsksForTheKindWhenTheNameTellsNone) {
  TempFile file("12345", "firmware.img");
  std::ostringstream out, err;
  EXPECT_EQ(console::RunCheck(file.path, std::nullopt, out, err), 2);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("give --kind hex or --kind dvb"), std::string::npos) << err.str();
}

TEST(RunCheck, RefusesADvbImageTheHeaderCannotAnnounce) {
  TempFile file("", "huge.bin");
  std::filesystem::resize_file(file.path, 0x100000000);  // sparse: no disk, no reading
  std::ostringstream out, err;
  EXPECT_EQ(console::RunCheck(file.path, std::nullopt, out, err), 5);
  EXPECT_NE(out.str().find("error: the file is larger than the 4294967295 bytes"), std::string::npos)
      << out.str();
}

TEST(HexFileError, GivesTheFirstErrorOrNothing) {
  TempFile valid(kRec + "\n" + kEnd + "\n", "fw.hex");
  TempFile broken(kRec + "\n", "fw.hex");
  EXPECT_EQ(console::HexFileError(valid.path), std::nullopt);
  EXPECT_EQ(console::HexFileError(broken.path),
            "line 2, column 1: the file ends without an end-of-file record (:00000001FF)");
  EXPECT_EQ(console::HexFileError(broken.path + ".missing"), "cannot be read: no such file");
}

}  // namespace
}  // namespace fwdl
