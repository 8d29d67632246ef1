// UTF-8, the program's inner encoding: the one decoder and encoder behind every
// conversion to the Windows boundary (UTF-16) and to the ANSI code page.
//
// What a malformed sequence becomes is decided here and nowhere else: a bad lead
// byte, a truncated sequence, a bad continuation byte, an overlong form, a surrogate
// or a value beyond U+10FFFF decodes to U+FFFD and consumes one byte, so that the
// next byte is read afresh. Each conversion then writes U+FFFD its own way (itself in
// UTF-16, '?' in a code page).
//
// The engine library has a decoder of its own (for its message texts): it is a library
// apart, built without any of the launcher's code, and it only ever decodes the texts
// compiled into it, which are well formed, so the two never meet the same input.
#ifndef ORVANE_TEXT_UTF8_H
#define ORVANE_TEXT_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one character at text[pos], advancing pos; pos must be inside text.
inline char32_t decodeUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  if (text.size() - pos < length) {
    ++pos;
    return kReplacementCharacter;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t next = byte(pos + k);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacementCharacter;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return kReplacementCharacter;
  }
  pos += length;
  return c;
}

// Appends the UTF-8 form of c, which must be a scalar value (no surrogate, at most
// U+10FFFF).
inline void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace text

#endif  // ORVANE_TEXT_UTF8_H
