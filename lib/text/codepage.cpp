#include "text/codepage.h"

#include <cstdint>

#include "text/utf8.h"

namespace text {
namespace {

// Code points of the bytes 0x80 to 0x9F; 0 marks the five undefined bytes.
constexpr char32_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string utf8ToCp1252(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char32_t c = decodeUtf8(text, i);
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    char mapped = '?';
    for (int k = 0; k < 32; ++k) {
      if (kHigh[k] != 0 && kHigh[k] == c) {
        mapped = static_cast<char>(0x80 + k);
        break;
      }
    }
    out += mapped;
  }
  return out;
}

std::string cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (const char ch : text) {
    const auto b = static_cast<uint8_t>(ch);
    if (b >= 0x80 && b <= 0x9F) {
      const char32_t c = kHigh[b - 0x80];
      appendUtf8(out, c != 0 ? c : kReplacementCharacter);
    } else {
      appendUtf8(out, b);
    }
  }
  return out;
}

}  // namespace text
