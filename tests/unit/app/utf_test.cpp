#include "app/utf.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf, RoundTripsLatin1AndBeyond) {
  const std::string text = "Orvane \u00A9 2026 - Tous droits r\u00E9serv\u00E9s \u20AC \U0001F697";
  const std::u16string wide = app::toUtf16(text);
  EXPECT_EQ(wide[7], u'\u00A9');
  EXPECT_EQ(wide.substr(wide.size() - 2), std::u16string(u"\U0001F697"));
  EXPECT_EQ(app::toUtf8(wide), text);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(app::toUtf16("a\xC3"), u"a\uFFFD");                    // truncated sequence
  EXPECT_EQ(app::toUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(app::toUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(app::toUtf16("\xFF"
                         "b"),
            u"\uFFFDb");
  EXPECT_EQ(app::toUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(app::toUtf8(u"\xDC00x"), "\xEF\xBF\xBDx");
}

}  // namespace
