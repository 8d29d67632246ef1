// Windows-1252 conversions (the host build's ANSI code page).
#include <gtest/gtest.h>

#include "text/codepage.h"

namespace {

TEST(Cp1252, FrenchTextRoundTrips) {
  const std::string text = "Société Générale, façade, œuvre, 12 €, « garçon »";
  const std::string ansi = text::utf8ToCp1252(text);
  EXPECT_EQ(ansi,
            "Soci\xE9t\xE9 G\xE9n\xE9rale, fa\xE7"
            "ade, \x9Cuvre, 12 \x80, \xAB gar\xE7on \xBB");
  EXPECT_EQ(text::cp1252ToUtf8(ansi), text);
}

TEST(Cp1252, UnrepresentableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(text::utf8ToCp1252("Łódź 日本 😀"),
            "?\xF3"
            "d? ?? ?");
  EXPECT_EQ(text::utf8ToCp1252("a\xC3"), "a?");          // cut sequence
  EXPECT_EQ(text::utf8ToCp1252("\xC0\xAF"), "??");       // overlong '/'
  EXPECT_EQ(text::utf8ToCp1252("\xED\xA0\x80"), "???");  // surrogate
  EXPECT_EQ(text::utf8ToCp1252("\xFF"
                               "b"),
            "?b");
}

TEST(Cp1252, UndefinedBytesDecodeToReplacementCharacter) {
  EXPECT_EQ(text::cp1252ToUtf8("\x81\x8D\x8F\x90\x9D"), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(text::cp1252ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
