// The receive buffer ComBuf and its count ComBufPointer: the bytes the
// instrument sent since the count was last reset, in the order they came.
//
// Principles of operation
// - Only the receive poll appends (SerialLink::Timer1Timer), and never past
//   the end: it reads no more than Room().
// - A procedure starts an exchange before each answer it wants to see by
//   itself: the count goes back to 0, the bytes stay, and what lies beyond
//   the count has no meaning. No terminator follows the bytes held.
// - The answer is read as the procedures mean it: its last byte, a text
//   among the bytes held, the last line (the HEX verdict's window), or the
//   bytes themselves.
// - The fill limit lies below the size and the wrap point above the fill
//   limit, so the count never wraps to 0 without the fill message first.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fwdl {

inline constexpr std::uint32_t kComBufSize = 60000;
inline constexpr std::uint32_t kFillLimit = 59000;  // more held than this: the fill message
inline constexpr std::uint32_t kWrapPoint = 59990;  // this many held: the count goes back to 0

class ReceiveBuffer {
 public:
  // Bytes held.
  std::uint32_t count() const { return ComBufPointer; }
  std::string_view held() const {
    return {reinterpret_cast<const char*>(ComBuf.data()), ComBufPointer};
  }
  // True when the last byte held is `byte`; false on an empty buffer.
  bool LastByteIs(std::uint8_t byte) const {
    return ComBufPointer > 0 && ComBuf[ComBufPointer - 1] == byte;
  }
  // True when `text` lies anywhere among the bytes held, zero bytes and all.
  bool Contains(std::string_view text) const { return held().find(text) != std::string_view::npos; }
  // The last line that begins before the last `tail` bytes held, to the end
  // of what is held: it starts after the line feed that ends the line
  // before it, or at the first byte (the HEX loader's verdict window).
  std::string_view LastLineBefore(std::uint32_t tail) const {
    std::uint32_t start = ComBufPointer - std::min(tail, ComBufPointer);
    while (start > 0 && ComBuf[start - 1] != '\n') --start;
    return held().substr(start);
  }

  // A new exchange: what comes next is the answer.
  void StartExchange() { ComBufPointer = 0; }

  // The receive poll's side.
  std::uint32_t Room() const { return kComBufSize - ComBufPointer; }
  // Appends at most Room() bytes.
  void Append(const char* data, std::uint32_t size) {
    size = std::min(size, Room());
    std::memcpy(&ComBuf[ComBufPointer], data, size);
    ComBufPointer += size;
  }
  bool PastFillLimit() const { return ComBufPointer > kFillLimit; }
  void WrapIfDue() {
    if (ComBufPointer >= kWrapPoint) ComBufPointer = 0;
  }

 private:
  std::array<std::uint8_t, kComBufSize> ComBuf{};
  std::uint32_t ComBufPointer = 0;
};

}  // namespace fwdl
