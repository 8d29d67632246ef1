// A small PNG decoder for the pictures the program ships: 8-bit truecolour (RGB),
// not interlaced. Every length and offset is checked before use; any malformed or
// unsupported file raises app::Error and never reads or writes out of bounds.
#ifndef ORVANE_APP_PNG_H
#define ORVANE_APP_PNG_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace app {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom, 3 bytes (R, G, B) a pixel

  const std::uint8_t* at(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3;
  }
};

// Largest picture accepted, in pixels on a side.
inline constexpr std::uint32_t kMaxPngSide = 8192;

RgbImage decodePng(std::span<const std::uint8_t> file);

}  // namespace app

#endif  // ORVANE_APP_PNG_H
