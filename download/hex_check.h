// Checking an Intel HEX firmware file before an instrument is touched.
//
// Every record is read: the start code ':', hex digits in either case, the
// byte count against the record's length, the checksum, the record types
// 00 (data) to 05, and exactly one end-of-file record (01). Extended
// segment (02) and extended linear (04) address records apply to the data
// records after them; start address records (03, 05) are accepted.
//
// What a file may hold besides records:
// - line ends LF or CR LF; a carriage return that no line feed follows is
//   an error;
// - a last line without a line end;
// - after the end-of-file record, line ends and Ctrl-Z bytes only (old
//   editors pad with them; the loader is fed up to the first Ctrl-Z, so
//   they never reach it).
// Refused besides broken records: a blank line before the end-of-file
// record (the loader expects a record on every line), a Ctrl-Z before it
// (the loader would stop there), a file with no data byte at all (it holds
// no firmware).
//
// Addresses: before any extended address record and after an 02 record, a
// record's offset wraps within its 64 KB segment; after an 04 record the
// address wraps at 4 GiB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fwdl {

enum class HexFault {
  kUnreadable,        // the file cannot be opened or read
  kEmpty,             // the file has no bytes
  kBlankLine,         // a blank line before the end-of-file record
  kNoStartCode,       // a line starts with something other than ':'
  kBadDigit,          // a character in a record that is no hex digit
  kTooShort,          // the line ends before the byte count is fulfilled
  kCut,               // the file ends inside a record
  kTooLong,           // more hex digits than the byte count calls for
  kNoLineEnd,         // something other than a line end after the checksum
  kLoneCarriageReturn,
  kChecksum,
  kUnknownType,       // a record type above 05
  kWrongLength,       // a record of type 01..05 with the wrong number of data bytes
  kCtrlZ,             // a Ctrl-Z before the end-of-file record
  kNoEndRecord,
  kSecondEndRecord,
  kAfterEnd,          // anything but line ends and Ctrl-Z after the end-of-file record
  kNoData,            // no data record holds a byte
};

struct HexError {
  HexFault fault = HexFault::kUnreadable;
  std::uint64_t line = 0;    // 1-based; 0 when the file as a whole is at fault
  std::uint64_t column = 0;  // 1-based, in bytes; 0 with line 0
  std::string what;          // for a technician: "checksum is 0x3C, the record's bytes need 0x3D"
  // "line 812, column 44: checksum is ...", or `what` alone.
  std::string Text() const;
};

// Addresses first..last, both included.
struct HexRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint64_t Bytes() const { return std::uint64_t{last} - first + 1; }
  bool operator==(const HexRange&) const = default;
};

struct HexSummary {
  std::optional<HexError> error;  // the first one; the figures below are meant only without one
  std::uint64_t data_bytes = 0;   // in data records, each counted as often as it is written
  std::vector<HexRange> ranges;   // the addresses written, merged, ascending
  std::vector<HexRange> overlaps; // the addresses written more than once, merged, ascending
};

// Reads a HEX text piece by piece, so that a file is checked while it is
// read (and hashed) once.
class HexChecker {
 public:
  void Feed(std::string_view text);
  // After the last piece.
  HexSummary Finish();
  // An error has been found; more text changes nothing.
  bool Failed() const { return error_.has_value(); }

 private:
  enum class State { kLineStart, kRecord, kSurplus, kCarriageReturn, kTail };
  void Char(unsigned char c);
  void EndRecord(bool by_file_end);
  void Apply();
  void AddData(std::uint32_t offset, std::uint32_t count);
  void AddRun(std::uint64_t first, std::uint64_t last);
  std::string AfterEndText() const;
  void FailTooLong();
  void Fail(HexFault fault, std::uint64_t column, std::string what);

  State state_ = State::kLineStart;
  std::uint64_t size_ = 0;
  std::uint64_t line_ = 1, column_ = 1;
  // The record being read.
  std::uint8_t bytes_[5 + 255] = {};
  std::size_t digits_ = 0;
  std::size_t need_ = 0;           // the digits its byte count calls for
  std::size_t surplus_ = 0;        // hex digits beyond those
  bool blank_ = false;             // the carriage return just read began its line
  std::uint64_t surplus_column_ = 0;
  bool after_end_record_ = false;  // this record follows the end-of-file record
  // The file so far.
  std::uint64_t end_line_ = 0;     // the end-of-file record's line, 0 before it
  std::uint32_t base_ = 0;         // from the last 02 or 04 record
  bool linear_ = false;            // the last one was 04
  std::uint64_t data_bytes_ = 0;
  std::vector<HexRange> runs_;     // as written; consecutive records joined
  std::optional<HexError> error_;
};

HexSummary CheckHexText(std::string_view text);
// Reads the file (a regular file only) in pieces.
HexSummary CheckHexFile(const std::string& path);

}  // namespace fwdl
