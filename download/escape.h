// The escape encoding of DVB image bytes. The line's XON (0x11) and XOFF
// (0x13) and the escape byte itself (0x1B) never go out as they are: each
// becomes 0x1B, the byte's high four bits, the byte's low four bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fwdl {

inline constexpr std::uint8_t kEscapeByte = 0x1B;

struct LineBytes {
  std::array<std::uint8_t, 3> bytes;
  std::size_t size;
};

constexpr LineBytes Escape(std::uint8_t b) {
  if (b == 0x11 || b == 0x13 || b == kEscapeByte) {
    return {{kEscapeByte, static_cast<std::uint8_t>(b & 0xF0), static_cast<std::uint8_t>(b & 0x0F)}, 3};
  }
  return {{b, 0, 0}, 1};
}

}  // namespace fwdl
