#include "firmware_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fwdl {

bool FirmwareFile::Open(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  buffer_ = &file_;
  return file_.open(path, std::ios::in | std::ios::binary) != nullptr;
}

void FirmwareFile::Open(std::span<const std::uint8_t> bytes) {
  memory_.Set(bytes);
  buffer_ = &memory_;
}

void FirmwareFile::Close() {
  file_.close();
  memory_.Set({});
}

void FirmwareFile::Memory::Set(std::span<const std::uint8_t> bytes) {
  // Only read: the cast does not let anything write to the bytes.
  char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  setg(begin, begin, begin + bytes.size());
}

FirmwareFile::Memory::pos_type FirmwareFile::Memory::seekoff(off_type offset,
                                                             std::ios::seekdir from,
                                                             std::ios::openmode) {
  const off_type base = from == std::ios::beg   ? 0
                        : from == std::ios::cur ? gptr() - eback()
                                                : egptr() - eback();
  const off_type to = base + offset;
  if (to < 0 || to > egptr() - eback()) return pos_type(off_type(-1));
  setg(eback(), eback() + to, egptr());
  return pos_type(to);
}

std::optional<std::uint64_t> FirmwareFile::Size() {
  const auto end = buffer_->pubseekoff(0, std::ios::end, std::ios::in);
  const auto start = buffer_->pubseekpos(0, std::ios::in);
  const std::streamoff failed = -1;
  if (std::streamoff(end) == failed || std::streamoff(start) == failed) return std::nullopt;
  return static_cast<std::uint64_t>(std::streamoff(end));
}

std::size_t FirmwareFile::Read(std::uint8_t* data, std::size_t size) {
  const auto got = buffer_->sgetn(reinterpret_cast<char*>(data), static_cast<std::streamsize>(size));
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

int FirmwareFile::Get() {
  const auto c = buffer_->sbumpc();
  return c == std::filebuf::traits_type::eof() ? -1 : std::filebuf::traits_type::to_int_type(c);
}

int HexFile::Get() {
  constexpr int kCarriageReturn = 0x0D;
  constexpr int kCtrlZ = 0x1A;
  if (ended_) return -1;
  int c = file_.Get();
  while (c == kCarriageReturn) c = file_.Get();
  if (c == kCtrlZ) c = -1;
  ended_ = c < 0;
  return c;
}

std::optional<std::uint64_t> HexFile::Size() {
  ended_ = false;
  return file_.Size();
}

std::string WhyNotOpened(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return "no such file";
  if (error) return error.message();
  if (status.type() == std::filesystem::file_type::directory) return "a folder, not a file";
  if (status.type() != std::filesystem::file_type::regular) return "not a regular file";
  std::filebuf probe;
  errno = 0;
  if (probe.open(path, std::ios::in | std::ios::binary)) return "cannot be read";
  return errno != 0 ? std::strerror(errno) : "cannot be opened";
}

}  // namespace fwdl
