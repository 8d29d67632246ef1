// Windows-1252 conversions, used as the ANSI code page of the host build (where no
// system code page exists) and by tests that need exact bytes.
#ifndef ORVANE_TEXT_CODEPAGE_H
#define ORVANE_TEXT_CODEPAGE_H

#include <string>

namespace text {

// UTF-8 to Windows-1252. Characters outside the code page, and malformed UTF-8
// sequences, become '?'.
std::string utf8ToCp1252(const std::string& text);
// Windows-1252 to UTF-8. The five bytes the code page leaves undefined become U+FFFD.
std::string cp1252ToUtf8(const std::string& text);

}  // namespace text

#endif  // ORVANE_TEXT_CODEPAGE_H
