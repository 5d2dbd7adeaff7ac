// The firmware file readers on any stored file. Checked on every input:
// - FirmwareFile gives the size and the bytes as stored, by Read in pieces
//   of every length and by Get, and again from the start after measuring;
// - HexFile gives what the loader is fed: no carriage return, nothing from
//   the first Ctrl-Z on, then stays at its end; measuring gives the stored
//   size and starts the reading anew;
// - the check of the file equals the check of its text, and when the file
//   is accepted, what the loader is fed is accepted too, with the same data.
#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "download/firmware_file.h"
#include "download/hex_check.h"

namespace fwdl::fuzz {
namespace {

std::string ReadInPieces(FirmwareFile& file, std::size_t first_piece) {
  std::string out;
  std::vector<std::uint8_t> piece(4096 + 3);
  for (std::size_t length = first_piece;; length = length * 7 % piece.size() + 1) {
    const std::size_t got = file.Read(piece.data(), length);
    if (got > length) Fail("Read gave more than asked for");
    if (got == 0) break;
    out.append(reinterpret_cast<const char*>(piece.data()), got);
  }
  return out;
}

std::string GetAll(FirmwareFile& file) {
  std::string out;
  for (int c = file.Get(); c >= 0; c = file.Get()) {
    if (c > 0xFF) Fail("Get gave more than a byte");
    out += static_cast<char>(c);
  }
  return out;
}

std::string GetAll(HexFile& file) {
  std::string out;
  for (int c = file.Get(); c >= 0; c = file.Get()) out += static_cast<char>(c);
  return out;
}

}  // namespace
}  // namespace fwdl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fwdl;
  using namespace fwdl::fuzz;
  const std::string stored(reinterpret_cast<const char*>(data), size);
  const std::string path = WriteTempFile("firmware", stored);

  FirmwareFile file;
  if (!file.Open(path)) Fail("a regular file does not open");
  if (file.Size() != size) Fail("FirmwareFile measures another size");
  if (ReadInPieces(file, 1 + size % 13) != stored) Fail("FirmwareFile reads other bytes");
  std::uint8_t byte = 0;
  if (file.Get() != -1 || file.Read(&byte, 1) != 0) Fail("FirmwareFile goes on past its end");
  if (file.Size() != size || GetAll(file) != stored) Fail("FirmwareFile reads anew otherwise");
  file.Close();

  const std::string loader = LoaderText(stored);
  HexFile hex;
  if (!hex.Open(path)) Fail("a regular file does not open as HEX");
  const std::string fed = GetAll(hex);
  if (fed.find('\r') != std::string::npos) Fail("HexFile gives a carriage return");
  if (fed.find('\x1A') != std::string::npos) Fail("HexFile gives a Ctrl-Z");
  if (fed != loader) Fail("HexFile gives " + Shown(fed) + " for " + Shown(stored));
  if (hex.Get() != -1) Fail("HexFile goes on past its end");
  if (hex.Size() != size) Fail("HexFile measures another size");
  if (GetAll(hex) != loader) Fail("HexFile reads anew otherwise");
  hex.Close();

  const HexSummary of_text = CheckHexText(stored);
  const HexSummary of_file = CheckHexFile(path);
  if (!SameSummary(of_text, of_file)) {
    Fail("the file checks otherwise than its text: " + Describe(of_file) + " against " +
         Describe(of_text));
  }
  if (!of_text.error) {
    const HexSummary of_fed = CheckHexText(loader);
    if (of_fed.error || of_fed.data_bytes != of_text.data_bytes ||
        of_fed.ranges != of_text.ranges || of_fed.overlaps != of_text.overlaps) {
      Fail("accepted, but what the loader is fed checks as " + Describe(of_fed));
    }
  }
  return 0;
}
