// Letter case of ASCII text, the same whatever the locale: the case of names in
// tables, indexes, drivers and file names. Bytes outside 'a'-'z' and 'A'-'Z' (code-page
// letters among them) are left as they are.
#ifndef ORVANE_TEXT_ASCII_H
#define ORVANE_TEXT_ASCII_H

#include <string>
#include <string_view>

namespace text {

constexpr char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string upperAscii(std::string s) {
  for (char& c : s) c = upperAscii(c);
  return s;
}

inline std::string lowerAscii(std::string s) {
  for (char& c : s) c = lowerAscii(c);
  return s;
}

// True when the two texts are equal but for the letter case of ASCII letters.
constexpr bool sameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

}  // namespace text

#endif  // ORVANE_TEXT_ASCII_H
