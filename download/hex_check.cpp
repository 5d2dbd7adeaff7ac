#include "download/hex_check.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "download/firmware_file.h"

namespace fwdl {
namespace {

constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kCtrlZ = 0x1A;
// The digits of a record without data: count, address (two bytes), type, checksum.
constexpr std::size_t kLeastDigits = 10;
// The data bytes that the record types 01..05 hold.
constexpr std::size_t kFixedCount[6] = {0, 0, 2, 4, 2, 4};
constexpr char kCtrlZText[] = "a Ctrl-Z before the end-of-file record: the loader stops reading there";
constexpr char kBlankLineText[] = "a blank line before the end-of-file record";
constexpr char kLoneCarriageReturnText[] = "a carriage return without a line feed after it";

// The value of each hex digit, -1 for any other byte.
constexpr std::array<std::int8_t, 256> kDigitValue = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) table['a' + i] = table['A' + i] = static_cast<std::int8_t>(10 + i);
  return table;
}();

std::string Hex2(unsigned value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// A byte as a message shows it.
std::string Shown(unsigned char c) {
  if (c == ' ') return "a space";
  if (c == '\t') return "a tab";
  if (c > ' ' && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  return "byte 0x" + Hex2(c);
}

std::string Characters(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " character" : " characters");
}

const char* TypeName(unsigned type) {
  switch (type) {
    case 1: return "an end-of-file record";
    case 2: return "an extended segment address record";
    case 3: return "a start segment address record";
    case 4: return "an extended linear address record";
    default: return "a start linear address record";
  }
}

}  // namespace

std::string HexError::Text() const {
  if (line == 0) return what;
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}

void HexChecker::Feed(std::string_view text) {
  for (std::size_t i = 0; i < text.size() && !error_; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    Char(c);
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
  }
  size_ += text.size();
}

void HexChecker::Char(unsigned char c) {
  switch (state_) {
    case State::kRecord: {
      const int value = kDigitValue[c];
      if (value >= 0) {
        if (digits_ == need_) {
          state_ = State::kSurplus;
          surplus_ = 1;
          surplus_column_ = column_;
          return;
        }
        std::uint8_t& byte = bytes_[digits_ / 2];
        byte = digits_ % 2 == 0 ? static_cast<std::uint8_t>(value << 4)
                                : static_cast<std::uint8_t>(byte | value);
        if (++digits_ == 2) need_ = kLeastDigits + 2 * std::size_t{bytes_[0]};
        return;
      }
      if (c == '\n' || c == kCarriageReturn || (c == kCtrlZ && digits_ == need_)) {
        EndRecord(false);
        if (error_) return;
        state_ = State::kLineStart;
        if (c != '\n') Char(c);
        return;
      }
      if (c == kCtrlZ) {
        Fail(HexFault::kCtrlZ, column_, kCtrlZText);
      } else if (digits_ == need_) {
        Fail(HexFault::kNoLineEnd, column_,
             "expected the line to end after the checksum, found " + Shown(c));
      } else {
        Fail(HexFault::kBadDigit, column_, "expected a hex digit, found " + Shown(c));
      }
      return;
    }
    case State::kSurplus:
      if (kDigitValue[c] >= 0) {
        ++surplus_;
      } else {
        FailTooLong();
      }
      return;
    case State::kCarriageReturn:
      if (c != '\n') {
        Fail(HexFault::kLoneCarriageReturn, column_ - 1, kLoneCarriageReturnText);
      } else if (blank_ && end_line_ == 0) {
        Fail(HexFault::kBlankLine, column_ - 1, kBlankLineText);
      } else {
        state_ = State::kLineStart;
      }
      return;
    case State::kLineStart:
      if (c == ':') {
        state_ = State::kRecord;
        digits_ = 0;
        need_ = kLeastDigits;
        after_end_record_ = end_line_ != 0;
      } else if (c == kCarriageReturn) {
        state_ = State::kCarriageReturn;
        blank_ = column_ == 1;
      } else if (c == '\n') {
        if (end_line_ == 0) Fail(HexFault::kBlankLine, column_, kBlankLineText);
      } else if (c == kCtrlZ) {
        if (end_line_ == 0) {
          Fail(HexFault::kCtrlZ, column_, kCtrlZText);
        } else {
          state_ = State::kTail;
        }
      } else if (end_line_ != 0) {
        Fail(HexFault::kAfterEnd, column_, AfterEndText());
      } else {
        Fail(HexFault::kNoStartCode, column_,
             "expected ':' at the start of a record, found " + Shown(c));
      }
      return;
    case State::kTail:
      if (c != '\n' && c != kCarriageReturn && c != kCtrlZ) {
        Fail(HexFault::kAfterEnd, column_, AfterEndText());
      }
      return;
  }
}

void HexChecker::EndRecord(bool by_file_end) {
  const std::size_t chars = 1 + digits_;
  if (digits_ < need_) {
    std::string what = by_file_end ? "the file ends inside this record: " : "the record is too short: ";
    what += Characters(chars);
    if (digits_ < 2) {
      what += ", a record has at least " + std::to_string(1 + kLeastDigits);
    } else {
      what += " where its byte count (0x" + Hex2(bytes_[0]) + ") calls for " +
              std::to_string(1 + need_);
    }
    Fail(by_file_end ? HexFault::kCut : HexFault::kTooShort, column_, what);
    return;
  }
  const std::size_t count = bytes_[0];
  const unsigned type = bytes_[3];
  unsigned sum = 0;
  for (std::size_t i = 0; i < 4 + count; ++i) sum += bytes_[i];
  const unsigned need = (0x100 - (sum & 0xFF)) & 0xFF;
  const unsigned checksum = bytes_[4 + count];
  const std::uint64_t start = column_ - chars;  // the column of ':'
  if (checksum != need) {
    Fail(HexFault::kChecksum, start + 1 + 2 * (4 + count),
         "checksum is 0x" + Hex2(checksum) + ", the record's bytes need 0x" + Hex2(need));
  } else if (type > 5) {
    Fail(HexFault::kUnknownType, start + 7,
         "record type " + Hex2(type) + " is unknown: 00 to 05 are known");
  } else if (type != 0 && count != kFixedCount[type]) {
    Fail(HexFault::kWrongLength, start + 1,
         std::string(TypeName(type)) + " (type " + Hex2(type) + ") holds " +
             std::to_string(kFixedCount[type]) + " data bytes, this one " +
             std::to_string(count));
  } else {
    Apply();
  }
}

void HexChecker::Apply() {
  const unsigned type = bytes_[3];
  if (after_end_record_) {
    if (type == 1) {
      Fail(HexFault::kSecondEndRecord, 1,
           "a second end-of-file record: the first is on line " + std::to_string(end_line_));
    } else {
      Fail(HexFault::kAfterEnd, 1, AfterEndText());
    }
    return;
  }
  const std::uint32_t value = std::uint32_t{bytes_[4]} << 8 | bytes_[5];
  switch (type) {
    case 0: AddData(std::uint32_t{bytes_[1]} << 8 | bytes_[2], bytes_[0]); break;
    case 1: end_line_ = line_; break;
    case 2:
      base_ = value << 4;
      linear_ = false;
      break;
    case 4:
      base_ = value << 16;
      linear_ = true;
      break;
    default: break;  // a start address: where the firmware runs, nothing to place
  }
}

void HexChecker::AddData(std::uint32_t offset, std::uint32_t count) {
  data_bytes_ += count;
  if (count == 0) return;
  // Where the addresses wrap, and what the wrapping part is added to.
  const std::uint64_t wrap = linear_ ? std::uint64_t{1} << 32 : 0x10000;
  const std::uint64_t base = linear_ ? 0 : base_;
  const std::uint64_t first = linear_ ? std::uint64_t{base_} + offset : offset;
  const std::uint64_t end = first + count;
  if (end <= wrap) {
    AddRun(base + first, base + end - 1);
  } else {
    AddRun(base + first, base + wrap - 1);
    AddRun(base, base + end - wrap - 1);
  }
}

void HexChecker::AddRun(std::uint64_t first, std::uint64_t last) {
  if (!runs_.empty() && std::uint64_t{runs_.back().last} + 1 == first) {
    runs_.back().last = static_cast<std::uint32_t>(last);
  } else {
    runs_.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)});
  }
}

std::string HexChecker::AfterEndText() const {
  return "data after the end-of-file record on line " + std::to_string(end_line_);
}

void HexChecker::FailTooLong() {
  Fail(HexFault::kTooLong, surplus_column_,
       "the record is too long: " + Characters(1 + need_ + surplus_) +
           " where its byte count (0x" + Hex2(bytes_[0]) + ") calls for " +
           std::to_string(1 + need_));
}

void HexChecker::Fail(HexFault fault, std::uint64_t column, std::string what) {
  if (after_end_record_ && fault != HexFault::kSecondEndRecord) {
    // Whatever is wrong with it, a record after the end is one too many.
    fault = HexFault::kAfterEnd;
    column = 1;
    what = AfterEndText();
  }
  error_ = HexError{fault, line_, column, std::move(what)};
}

HexSummary HexChecker::Finish() {
  if (!error_) {
    if (state_ == State::kRecord) EndRecord(true);
    if (state_ == State::kSurplus) FailTooLong();
    if (state_ == State::kCarriageReturn) {
      Fail(HexFault::kLoneCarriageReturn, column_ - 1, kLoneCarriageReturnText);
    }
  }
  if (!error_ && size_ == 0) {
    error_ = HexError{HexFault::kEmpty, 0, 0, "the file is empty"};
  } else if (!error_ && end_line_ == 0) {
    Fail(HexFault::kNoEndRecord, column_,
         "the file ends without an end-of-file record (:00000001FF)");
  } else if (!error_ && data_bytes_ == 0) {
    error_ = HexError{HexFault::kNoData, 0, 0, "the file holds no data bytes"};
  }
  HexSummary summary;
  summary.error = error_;
  if (error_) return summary;
  summary.data_bytes = data_bytes_;
  std::sort(runs_.begin(), runs_.end(),
            [](const HexRange& a, const HexRange& b) { return a.first < b.first; });
  auto& ranges = summary.ranges;
  auto& overlaps = summary.overlaps;
  for (const HexRange& run : runs_) {
    if (ranges.empty() || run.first > std::uint64_t{ranges.back().last} + 1) {
      ranges.push_back(run);
      continue;
    }
    // Everything from the range's first address to its last is written already.
    HexRange& range = ranges.back();
    if (run.first <= range.last) {
      const HexRange again{run.first, std::min(run.last, range.last)};
      if (!overlaps.empty() && again.first <= std::uint64_t{overlaps.back().last} + 1) {
        overlaps.back().last = std::max(overlaps.back().last, again.last);
      } else {
        overlaps.push_back(again);
      }
    }
    range.last = std::max(range.last, run.last);
  }
  return summary;
}

HexSummary CheckHexText(std::string_view text) {
  HexChecker checker;
  checker.Feed(text);
  return checker.Finish();
}

HexSummary CheckHexFile(const std::string& path) {
  FirmwareFile file;
  if (!file.Open(path)) {
    HexSummary summary;
    summary.error = HexError{HexFault::kUnreadable, 0, 0, "cannot be read: " + WhyNotOpened(path)};
    return summary;
  }
  HexChecker checker;
  std::vector<std::uint8_t> piece(1 << 16);
  while (!checker.Failed()) {
    const std::size_t got = file.Read(piece.data(), piece.size());
    if (got == 0) break;
    checker.Feed({reinterpret_cast<const char*>(piece.data()), got});
  }
  return checker.Finish();
}

}  // namespace fwdl
