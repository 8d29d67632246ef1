// UTF-8 (inside the program) to UTF-16 (the Windows boundary) and back.
#ifndef ORVANE_APP_UTF_H
#define ORVANE_APP_UTF_H

#include <string>
#include <string_view>

namespace app {

// Malformed sequences become U+FFFD, one per offending byte.
std::u16string toUtf16(std::string_view utf8);

// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view utf16);

}  // namespace app

#endif  // ORVANE_APP_UTF_H
