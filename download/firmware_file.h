// Reading firmware files. Both downloads read the file as it is stored:
// FirmwareFile gives its bytes, HexFile the characters that the loader is
// sent.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>

namespace fwdl {

class FirmwareFile {
 public:
  // Opens a regular file for reading. Directories, devices and pipes are
  // refused: they are never firmware, and a pipe could block the window.
  bool Open(const std::string& path);
  // Reads `bytes`, which the caller keeps, instead of a file: the bytes of
  // a file read once and checked already.
  void Open(std::span<const std::uint8_t> bytes);
  // Seeks to the end, takes the position as the size, seeks back to the
  // start. Nothing when the file cannot be measured.
  std::optional<std::uint64_t> Size();
  // Up to `size` bytes; 0 at the end of the file or on a read error.
  std::size_t Read(std::uint8_t* data, std::size_t size);
  // The next byte, or -1 at the end of the file or on a read error.
  int Get();
  void Close();

 private:
  // Bytes in memory as a stream that can be read and measured.
  class Memory : public std::streambuf {
   public:
    void Set(std::span<const std::uint8_t> bytes);

   protected:
    pos_type seekoff(off_type offset, std::ios::seekdir from, std::ios::openmode) override;
    pos_type seekpos(pos_type position, std::ios::openmode mode) override {
      return seekoff(off_type(position), std::ios::beg, mode);
    }
  };

  std::filebuf file_;
  Memory memory_;
  std::streambuf* buffer_ = &file_;
};

// A text firmware file read the way the loader has always been fed, the
// same on every system: carriage returns are left out, a Ctrl-Z byte ends
// the content, every other byte comes as it is stored.
class HexFile {
 public:
  bool Open(const std::string& path) { return file_.Open(path); }
  void Open(std::span<const std::uint8_t> bytes) { file_.Open(bytes); }
  // The next character, or -1 at the end of the content.
  int Get();
  // The stored size, carriage returns and anything after a Ctrl-Z included;
  // reading starts again from the beginning.
  std::optional<std::uint64_t> Size();
  void Close() { file_.Close(); }

 private:
  FirmwareFile file_;
  bool ended_ = false;
};

// Why FirmwareFile::Open refuses `path`, in a few words for the user ("no
// such file", "a folder, not a file", the system's reason for a file that
// does not open).
std::string WhyNotOpened(const std::string& path);

}  // namespace fwdl
