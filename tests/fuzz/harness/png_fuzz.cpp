// PNG decoder: any bytes give a picture of the size its header announces, or
// app::Error. Most mutations break a chunk's CRC and stop at the first check, so each
// input is decoded a second time with its chunk CRCs made right.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "app/errors.h"
#include "app/png.h"

namespace {

void decode(std::span<const uint8_t> file) {
  try {
    const app::RgbImage image = app::decodePng(file);
    if (image.width < 1 || image.height < 1 || image.width > static_cast<int>(app::kMaxPngSide) ||
        image.height > static_cast<int>(app::kMaxPngSide) ||
        image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3) {
      std::fprintf(stderr, "broken invariant: picture of %dx%d with %zu bytes\n", image.width, image.height,
                   image.pixels.size());
      std::abort();
    }
    // Touch the last pixel through the accessor the painting code uses.
    volatile uint8_t last = image.at(image.width - 1, image.height - 1)[2];
    (void)last;
  } catch (const app::Error&) {}
}

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Rewrites the CRC of every complete chunk; true if one changed.
bool repairCrcs(std::vector<uint8_t>& file) {
  bool changed = false;
  size_t pos = 8;
  while (file.size() >= 12 && pos <= file.size() - 12) {
    const uint32_t length = be32(&file[pos]);
    if (length > file.size() - pos - 12) break;
    uint8_t* crcAt = &file[pos + 8 + length];
    const uint32_t crc = static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), &file[pos + 4], length + 4));
    if (be32(crcAt) != crc) {
      crcAt[0] = static_cast<uint8_t>(crc >> 24);
      crcAt[1] = static_cast<uint8_t>(crc >> 16);
      crcAt[2] = static_cast<uint8_t>(crc >> 8);
      crcAt[3] = static_cast<uint8_t>(crc);
      changed = true;
    }
    pos += 12 + size_t{length};
  }
  return changed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode(std::span<const uint8_t>(data, size));
  std::vector<uint8_t> repaired(data, data + size);
  if (repairCrcs(repaired)) decode(repaired);
  return 0;
}
