// The HEX file check on any text. Checked on every input:
// - the text fed whole, one byte at a time, and in pieces of other lengths
//   (empty ones too) gives the same summary; text fed after an error found
//   changes nothing;
// - an error's place lies within the text;
// - an accepted file's records, as the loader gets them, re-read here on
//   their own, hold the same data bytes at the same addresses, and only
//   line ends follow the end-of-file record;
// - a plain file (every line a record, LF or CR LF, no Ctrl-Z) whose
//   records re-read and hold data is accepted.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "download/hex_check.h"

namespace fwdl::fuzz {
namespace {

struct Records {
  std::uint64_t data_bytes = 0;
  std::vector<HexRange> ranges, overlaps;
};

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Runs of consecutive addresses among the keys whose count is at least `least`.
std::vector<HexRange> Runs(const std::map<std::uint32_t, int>& written, int least) {
  std::vector<HexRange> runs;
  for (const auto& [address, count] : written) {
    if (count < least) continue;
    if (!runs.empty() && std::uint64_t{runs.back().last} + 1 == address) {
      runs.back().last = address;
    } else {
      runs.push_back({address, address});
    }
  }
  return runs;
}

// Reads the records of a text with LF line ends, one a line, up to the
// end-of-file record, byte by byte into a map of addresses; nothing when a
// line before it is no record, or anything but line ends follows it.
std::optional<Records> Reparse(std::string_view text) {
  std::map<std::uint32_t, int> written;
  Records records;
  std::uint32_t base = 0;
  bool linear = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
      const int high = Digit(line[i]), low = Digit(line[i + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    const std::size_t count = bytes[0];
    const unsigned type = bytes[3];
    if (bytes.size() != count + 5) return std::nullopt;
    unsigned sum = 0;
    for (const std::uint8_t b : bytes) sum += b;
    if (sum % 256 != 0 || type > 5) return std::nullopt;
    const std::uint32_t offset = std::uint32_t{bytes[1]} << 8 | bytes[2];
    if (type == 0) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t address =
            linear ? base + offset + static_cast<std::uint32_t>(i)
                   : base + ((offset + static_cast<std::uint32_t>(i)) & 0xFFFF);
        ++written[address];
      }
      records.data_bytes += count;
      continue;
    }
    const std::size_t fixed[] = {0, 0, 2, 4, 2, 4};
    if (count != fixed[type]) return std::nullopt;
    const std::uint32_t value = std::uint32_t{bytes[4]} << 8 | bytes[5];
    if (type == 2 || type == 4) {
      linear = type == 4;
      base = linear ? value << 16 : value << 4;
    }
    if (type == 1) {
      const std::string_view after = text.substr(std::min(at, text.size()));
      if (after.find_first_not_of('\n') != std::string_view::npos) return std::nullopt;
      records.ranges = Runs(written, 1);
      records.overlaps = Runs(written, 2);
      return records;
    }
  }
  return std::nullopt;  // no end-of-file record
}

// Whether every carriage return ends a line and no Ctrl-Z is in the text.
bool PlainLineEnds(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1A') return false;
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
  }
  return true;
}

void CheckPlace(const std::string& text, const HexError& error) {
  if (error.what.empty()) Fail("an error without words");
  if (error.line == 0) {
    const bool whole_file = error.fault == HexFault::kEmpty || error.fault == HexFault::kNoData;
    if (error.column != 0 || !whole_file) {
      Fail("an error of the whole file with a place: " + error.Text());
    }
    return;
  }
  // The line's length, its line feed left out.
  std::uint64_t line = 1;
  std::size_t start = 0;
  for (; line < error.line; ++line) {
    start = text.find('\n', start);
    if (start == std::string::npos) Fail("an error on a line past the text: " + error.Text());
    ++start;
  }
  const std::size_t end = std::min(text.find('\n', start), text.size());
  if (error.column < 1 || error.column > end - start + 1) {
    Fail("an error in a column past its line of " + std::to_string(end - start) +
         " bytes: " + error.Text());
  }
}

}  // namespace
}  // namespace fwdl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fwdl;
  using namespace fwdl::fuzz;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const HexSummary whole = CheckHexText(text);

  HexChecker bytewise;
  for (const char c : text) bytewise.Feed(std::string_view(&c, 1));
  // Pieces of 0 to 40 bytes, their lengths drawn from the text's size.
  HexChecker pieces;
  std::uint32_t draw = static_cast<std::uint32_t>(size) * 2654435761u + 1;
  for (std::size_t at = 0; at <= size;) {
    draw = draw * 1103515245u + 12345u;
    const std::size_t length = std::min<std::size_t>((draw >> 16) % 41, size - at);
    pieces.Feed(std::string_view(text).substr(at, length));
    at += length;
    if (at == size && length == 0) break;
  }
  if (pieces.Failed()) pieces.Feed("\n:00000001FF\nX");
  const HexSummary by_byte = bytewise.Finish();
  const HexSummary by_piece = pieces.Finish();
  if (!SameSummary(whole, by_byte) || !SameSummary(whole, by_piece)) {
    Fail("pieces check otherwise: whole: " + Describe(whole) + "; bytewise: " + Describe(by_byte) +
         "; pieces: " + Describe(by_piece));
  }

  if (whole.error) {
    CheckPlace(text, *whole.error);
  } else {
    const auto records = Reparse(LoaderText(text));
    if (!records) Fail("accepted, but the loader's records do not re-read");
    if (records->data_bytes != whole.data_bytes || records->ranges != whole.ranges ||
        records->overlaps != whole.overlaps) {
      Fail("accepted as " + Describe(whole) + ", the records re-read hold " +
           std::to_string(records->data_bytes) + " data bytes in " +
           std::to_string(records->ranges.size()) + " ranges, " +
           std::to_string(records->overlaps.size()) + " overlaps");
    }
    if (whole.data_bytes == 0) Fail("accepted without data");
  }
  if (whole.error && PlainLineEnds(text)) {
    const auto records = Reparse(LoaderText(text));
    if (records && records->data_bytes > 0) Fail("a plain valid file refused: " + Describe(whole));
  }
  return 0;
}
