#include "app/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>

#include "app/errors.h"
#include "test_files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void chunk(Bytes& out, const char* type, const Bytes& data) {
  put32(out, static_cast<std::uint32_t>(data.size()));
  Bytes body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  put32(out, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

Bytes deflate(const Bytes& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  EXPECT_EQ(compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
  out.resize(size);
  return out;
}

Bytes ihdr(std::uint32_t w, std::uint32_t h, std::uint8_t depth = 8, std::uint8_t colour = 2,
           std::uint8_t interlace = 0) {
  Bytes d;
  put32(d, w);
  put32(d, h);
  d.insert(d.end(), {depth, colour, 0, 0, interlace});
  return d;
}

Bytes png(const Bytes& header, const Bytes& raw) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  chunk(out, "IHDR", header);
  chunk(out, "IDAT", deflate(raw));
  chunk(out, "IEND", {});
  return out;
}

int paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Encodes an RGB image, filtering row y with filters[y % 5].
Bytes encodeFiltered(int w, int h, const Bytes& pixels) {
  const int stride = w * 3;
  Bytes raw;
  for (int y = 0; y < h; ++y) {
    const int filter = y % 5;
    raw.push_back(static_cast<std::uint8_t>(filter));
    for (int i = 0; i < stride; ++i) {
      const int x = pixels[y * stride + i];
      const int a = i >= 3 ? pixels[y * stride + i - 3] : 0;
      const int b = y > 0 ? pixels[(y - 1) * stride + i] : 0;
      const int c = (y > 0 && i >= 3) ? pixels[(y - 1) * stride + i - 3] : 0;
      const int pred[] = {0, a, b, (a + b) / 2, paeth(a, b, c)};
      raw.push_back(static_cast<std::uint8_t>(x - pred[filter]));
    }
  }
  return png(ihdr(w, h), raw);
}

TEST(Png, ShippedPictureIsGreyFramedAndOfTheRightSize) {
  const app::RgbImage image = app::decodePng(readResource("splash.png"));
  ASSERT_EQ(image.width, 354);
  ASSERT_EQ(image.height, 234);
  ASSERT_EQ(image.pixels.size(), 354u * 234u * 3u);
  int frame = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.at(x, y);
      ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << "colour at " << x << "," << y;
      const bool onFrame = x < 2 || y < 2 || x >= image.width - 2 || y >= image.height - 2;
      if (onFrame) {
        ASSERT_EQ(p[0], 32) << x << "," << y;
        ++frame;
      } else if (x == 2 || y == 2 || x == image.width - 3 || y == image.height - 3) {
        ASSERT_NE(p[0], 32) << "frame wider than two pixels at " << x << "," << y;
      }
    }
  }
  EXPECT_EQ(frame, 2 * 2 * (354 + 234) - 16);
  // A light ground: the picture's middle band away from the car is bright.
  EXPECT_GT(image.at(10, 20)[0], 170);
}

TEST(Png, AllRowFiltersDecodeToTheOriginalPixels) {
  const int w = 7, h = 11;
  Bytes pixels;
  std::uint32_t seed = 12345;
  for (int i = 0; i < w * h * 3; ++i) {
    seed = seed * 1103515245 + 12345;
    pixels.push_back(static_cast<std::uint8_t>(seed >> 16));
  }
  const app::RgbImage image = app::decodePng(encodeFiltered(w, h, pixels));
  EXPECT_EQ(image.width, w);
  EXPECT_EQ(image.height, h);
  EXPECT_EQ(image.pixels, pixels);
}

// Decoding must fail with app::Error, never crash or read past the data (ASan).
void expectRefused(const Bytes& file, const char* why) { EXPECT_THROW(app::decodePng(file), app::Error) << why; }

TEST(Png, EveryTruncationIsRefused) {
  const Bytes good = encodeFiltered(3, 4, Bytes(3 * 4 * 3, 200));
  ASSERT_NO_THROW(app::decodePng(good));
  for (std::size_t n = 0; n < good.size(); ++n) {
    expectRefused(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)), "truncated");
  }
  const Bytes real = readResource("splash.png");
  expectRefused(Bytes(real.begin(), real.begin() + static_cast<std::ptrdiff_t>(real.size() / 2)), "half");
}

TEST(Png, CorruptionAndBadLengthsAreRefused) {
  const Bytes good = encodeFiltered(3, 4, Bytes(3 * 4 * 3, 90));
  // Any flipped byte after the signature breaks a CRC or a length.
  for (std::size_t i = 8; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x40;
    expectRefused(bad, "flipped byte");
  }
  Bytes bad = good;
  bad[0] = 'X';
  expectRefused(bad, "signature");
  bad = good;
  bad[8] = 0xFF;  // IHDR length 0xFF00000D
  expectRefused(bad, "huge length");
}

TEST(Png, UnsupportedOrInconsistentHeadersAreRefused) {
  const Bytes row3 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // filter byte + 3 RGB pixels
  ASSERT_NO_THROW(app::decodePng(png(ihdr(3, 1), row3)));
  expectRefused(png(ihdr(3, 1, 8, 6), row3), "RGBA");
  expectRefused(png(ihdr(3, 1, 8, 3), row3), "palette");
  expectRefused(png(ihdr(3, 1, 8, 0), row3), "grey");
  expectRefused(png(ihdr(3, 1, 16, 2), row3), "16-bit");
  expectRefused(png(ihdr(3, 1, 8, 2, 1), row3), "interlaced");
  expectRefused(png(ihdr(0, 1), row3), "zero width");
  expectRefused(png(ihdr(100000, 100000), row3), "too large");
  expectRefused(png(ihdr(4, 1), row3), "too little data");
  expectRefused(png(ihdr(2, 1), row3), "too much data");
  expectRefused(png(ihdr(3, 1), {5, 1, 2, 3, 4, 5, 6, 7, 8, 9}), "unknown filter");

  Bytes header = ihdr(3, 1);
  header.push_back(0);
  expectRefused(png(header, row3), "IHDR length");
}

TEST(Png, ChunkOrderIsChecked) {
  const Bytes row3 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const Bytes data = deflate(row3);

  Bytes noHeader = sig;
  chunk(noHeader, "IDAT", data);
  chunk(noHeader, "IEND", {});
  expectRefused(noHeader, "IHDR first");

  Bytes noData = sig;
  chunk(noData, "IHDR", ihdr(3, 1));
  chunk(noData, "IEND", {});
  expectRefused(noData, "no IDAT");

  Bytes split = sig;
  chunk(split, "IHDR", ihdr(3, 1));
  chunk(split, "IDAT", Bytes(data.begin(), data.begin() + 4));
  chunk(split, "tEXt", {'a', 0, 'b'});
  chunk(split, "IDAT", Bytes(data.begin() + 4, data.end()));
  chunk(split, "IEND", {});
  expectRefused(split, "IDAT not consecutive");

  Bytes critical = sig;
  chunk(critical, "IHDR", ihdr(3, 1));
  chunk(critical, "ZZZZ", {});
  chunk(critical, "IDAT", data);
  chunk(critical, "IEND", {});
  expectRefused(critical, "unknown critical chunk");

  // Ancillary chunks are skipped, and IDAT may be split in consecutive chunks.
  Bytes fine = sig;
  chunk(fine, "IHDR", ihdr(3, 1));
  chunk(fine, "gAMA", {0, 0, 0, 1});
  chunk(fine, "IDAT", Bytes(data.begin(), data.begin() + 3));
  chunk(fine, "IDAT", Bytes(data.begin() + 3, data.end()));
  chunk(fine, "IEND", {});
  const app::RgbImage image = app::decodePng(fine);
  EXPECT_EQ(image.pixels, Bytes(row3.begin() + 1, row3.end()));

  Bytes noEnd = sig;
  chunk(noEnd, "IHDR", ihdr(3, 1));
  chunk(noEnd, "IDAT", data);
  expectRefused(noEnd, "no IEND");

  Bytes corruptStream = sig;
  chunk(corruptStream, "IHDR", ihdr(3, 1));
  Bytes broken = data;
  broken[2] ^= 0xFF;
  chunk(corruptStream, "IDAT", broken);
  chunk(corruptStream, "IEND", {});
  expectRefused(corruptStream, "corrupt deflate data");
}

// Re-signs every chunk so that damage reaches the header checks, the inflater and
// the row filters instead of stopping at a CRC.
void fixCrcs(Bytes& file) {
  std::size_t pos = 8;
  while (pos + 12 <= file.size()) {
    const std::uint32_t length = (std::uint32_t{file[pos]} << 24) | (std::uint32_t{file[pos + 1]} << 16) |
                                 (std::uint32_t{file[pos + 2]} << 8) | file[pos + 3];
    if (length > file.size() - pos - 12) return;
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, &file[pos + 4], length + 4));
    for (int i = 0; i < 4; ++i) file[pos + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    pos += 12 + length;
  }
}

TEST(Png, DamagedFilesWithValidChecksumsFailCleanly) {
  Bytes pixels(9 * 6 * 3);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes good = encodeFiltered(9, 6, pixels);
  std::uint32_t seed = 2026;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  int decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes bad = good;
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = 8 + next() % (bad.size() - 8);
      bad[at] = static_cast<std::uint8_t>(next());
    }
    if (round % 3 == 0) bad.resize(8 + next() % (bad.size() - 8));
    fixCrcs(bad);
    try {
      const app::RgbImage image = app::decodePng(bad);
      ASSERT_EQ(image.pixels.size(), static_cast<std::size_t>(image.width) * image.height * 3);
      ++decoded;
    } catch (const app::Error&) {}
  }
  // Some damage (in pixel bytes) still decodes; most does not.
  EXPECT_LT(decoded, 4000);
}

}  // namespace
