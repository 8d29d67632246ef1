// PNG layout: an 8-byte signature, then chunks of { 4-byte big-endian length,
// 4-byte type, data, 4-byte CRC-32 over type and data }. IHDR comes first and
// gives width, height, bit depth, colour type, compression, filter and interlace
// methods; the IDAT chunks, concatenated, form one zlib stream holding, for each
// row, a filter-type byte followed by the row's bytes; IEND closes the file.
#include "app/png.h"

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/errors.h"

namespace app {

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kBytesPerPixel = 3;

[[noreturn]] void bad(const std::string& why) { throw Error("image PNG invalide : " + why); }

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  const int p = int{a} + int{b} - int{c};
  const int pa = std::abs(p - int{a});
  const int pb = std::abs(p - int{b});
  const int pc = std::abs(p - int{c});
  if (pa <= pb && pa <= pc) return a;
  if (pb <= pc) return b;
  return c;
}

// Inflates the whole stream into exactly `expected` bytes; more or fewer is an error.
std::vector<std::uint8_t> inflateExactly(const std::vector<std::uint8_t>& compressed, std::size_t expected) {
  std::vector<std::uint8_t> out(expected);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    bad("zlib init");
  }
  // zlib counts in uInt; both sizes are bounded well below that by the caller.
  zs.next_in = const_cast<Bytef*>(compressed.data());
  zs.avail_in = static_cast<uInt>(compressed.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool outputFull = zs.avail_out == 0;
  const uLong produced = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    if (rc == Z_DATA_ERROR) {
      bad("corrupt compressed data");
    }
    bad(outputFull ? "too much image data" : "truncated image data");
  }
  if (produced != expected) {
    bad("too little image data");
  }
  return out;
}

}  // namespace

RgbImage decodePng(std::span<const std::uint8_t> file) {
  if (file.size() < kSignature.size() || std::memcmp(file.data(), kSignature.data(), kSignature.size()) != 0) {
    bad("signature");
  }
  std::size_t pos = kSignature.size();
  bool haveHeader = false;
  bool haveEnd = false;
  bool idatDone = false;  // IDAT chunks must be consecutive
  bool inIdat = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> compressed;

  while (!haveEnd) {
    if (file.size() - pos < 12) {
      bad("truncated chunk");
    }
    const std::uint32_t length = be32(&file[pos]);
    if (length > 0x7FFFFFFFu || length > file.size() - pos - 12) {
      bad("chunk length");
    }
    const std::uint8_t* type = &file[pos + 4];
    const std::uint8_t* data = &file[pos + 8];
    const std::uint32_t storedCrc = be32(data + length);
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), type, length + 4));
    if (crc != storedCrc) {
      bad("CRC");
    }
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t ch = type[i];
      if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'))) {
        bad("chunk type");
      }
    }
    const std::string name(reinterpret_cast<const char*>(type), 4);
    pos += 12 + static_cast<std::size_t>(length);

    if (!haveHeader && name != "IHDR") {
      bad("IHDR must come first");
    }
    if (name != "IDAT" && inIdat) {
      inIdat = false;
      idatDone = true;
    }
    if (name == "IHDR") {
      if (haveHeader) {
        bad("second IHDR");
      }
      if (length != 13) {
        bad("IHDR length");
      }
      haveHeader = true;
      width = be32(data);
      height = be32(data + 4);
      const std::uint8_t depth = data[8];
      const std::uint8_t colourType = data[9];
      if (width == 0 || height == 0 || width > kMaxPngSide || height > kMaxPngSide) {
        bad("image size");
      }
      if (colourType != 2) {
        bad("unsupported colour type " + std::to_string(colourType));
      }
      if (depth != 8) {
        bad("unsupported bit depth " + std::to_string(depth));
      }
      if (data[10] != 0 || data[11] != 0) {
        bad("unknown compression or filter method");
      }
      if (data[12] != 0) {
        bad("interlaced images are not supported");
      }
    } else if (name == "IDAT") {
      if (idatDone) {
        bad("IDAT chunks are not consecutive");
      }
      inIdat = true;
      // Bounded by the file size, itself held in memory.
      compressed.insert(compressed.end(), data, data + length);
    } else if (name == "IEND") {
      haveEnd = true;
    } else if (name == "PLTE") {
      // Allowed in truecolour files as a suggestion; not needed.
    } else if ((type[0] & 0x20) == 0) {
      bad("unknown critical chunk " + name);
    }
  }
  if (compressed.empty()) {
    bad("no image data");
  }

  // The side limit keeps every size below in 32 bits; the compressed size, bounded
  // only by the file's, is weighed in 64 bits.
  static_assert((std::uint64_t{kMaxPngSide} * kBytesPerPixel + 1) * kMaxPngSide < (std::uint64_t{1} << 31),
                "image sizes must fit a 32-bit size_t");
  const std::size_t stride = static_cast<std::size_t>(width) * kBytesPerPixel;
  const std::size_t rawSize = (stride + 1) * height;
  if (compressed.size() > 0xFFFFFFFFu) {  // zlib counts input in 32 bits
    bad("too much image data");
  }
  // Deflate cannot expand data by more than about 1032 to 1: refuse to reserve room
  // for an image the compressed data cannot possibly fill.
  if (std::uint64_t{rawSize} > std::uint64_t{compressed.size()} * 1032 + 1024) {
    bad("too little image data");
  }
  std::vector<std::uint8_t> raw = inflateExactly(compressed, rawSize);

  RgbImage image;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.pixels.resize(stride * height);
  const std::uint8_t* previous = nullptr;
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* in = raw.data() + y * (stride + 1);
    const std::uint8_t filter = in[0];
    ++in;
    std::uint8_t* row = image.pixels.data() + y * stride;
    for (std::size_t i = 0; i < stride; ++i) {
      const std::uint8_t a = i >= kBytesPerPixel ? row[i - kBytesPerPixel] : 0;
      const std::uint8_t b = previous != nullptr ? previous[i] : 0;
      const std::uint8_t c = (previous != nullptr && i >= kBytesPerPixel) ? previous[i - kBytesPerPixel] : 0;
      std::uint8_t predictor = 0;
      switch (filter) {
        case 0: predictor = 0; break;
        case 1: predictor = a; break;
        case 2: predictor = b; break;
        case 3: predictor = static_cast<std::uint8_t>((int{a} + int{b}) / 2); break;
        case 4: predictor = paeth(a, b, c); break;
        default: bad("unknown row filter " + std::to_string(filter));
      }
      row[i] = static_cast<std::uint8_t>(in[i] + predictor);
    }
    previous = row;
  }
  return image;
}

}  // namespace app
