// The 10 bytes that go before a DVB image, never escaped: 0x23, 0x04, the
// marker 0x12345678, then the image's length, each least significant byte
// first. The length has 32 bits, so an image holds 1 to 0xFFFFFFFF bytes.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

namespace fwdl {

inline constexpr std::uint64_t kLargestDvbImage = std::numeric_limits<std::uint32_t>::max();

// Whether the header can announce an image of `size` bytes; an empty file
// is no image.
constexpr bool DvbImageSizeFits(std::uint64_t size) {
  return size > 0 && size <= kLargestDvbImage;
}

constexpr std::array<std::uint8_t, 10> DvbHeader(std::uint32_t length) {
  constexpr std::uint32_t kMarker = 0x12345678;
  std::array<std::uint8_t, 10> header{0x23, 0x04};
  for (int i = 0; i < 4; ++i) {
    header[2 + i] = static_cast<std::uint8_t>(kMarker >> (8 * i));
    header[6 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  return header;
}

}  // namespace fwdl
