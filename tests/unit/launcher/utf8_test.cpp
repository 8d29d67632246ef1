// The one UTF-8 decoder: its edges, and the two conversions built on it agreeing on
// what is malformed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/utf.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace {

std::vector<char32_t> decodeAll(const std::string& text) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < text.size();) out.push_back(text::decodeUtf8(text, pos));
  return out;
}

constexpr char32_t R = text::kReplacementCharacter;

TEST(Utf8Decoder, LongestFormsAndTheirLimits) {
  EXPECT_EQ(decodeAll("\x7F\xC2\x80\xDF\xBF"), (std::vector<char32_t>{0x7F, 0x80, 0x7FF}));
  EXPECT_EQ(decodeAll("\xE0\xA0\x80\xEF\xBF\xBF"), (std::vector<char32_t>{0x800, 0xFFFF}));
  EXPECT_EQ(decodeAll("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"), (std::vector<char32_t>{0x10000, 0x10FFFF}));
}

TEST(Utf8Decoder, EachMalformedByteIsOneReplacementAndTheNextByteIsReadAfresh) {
  EXPECT_EQ(decodeAll("\xF4\x90\x80\x80"), (std::vector<char32_t>{R, R, R, R}));  // beyond U+10FFFF
  EXPECT_EQ(decodeAll("\xE0\x80\xAF"), (std::vector<char32_t>{R, R, R}));         // overlong, 3 bytes
  EXPECT_EQ(decodeAll("\xF0\x80\x80\xAF"), (std::vector<char32_t>{R, R, R, R}));  // overlong, 4 bytes
  EXPECT_EQ(decodeAll("\x80z"), (std::vector<char32_t>{R, 'z'}));                 // lone continuation
  EXPECT_EQ(decodeAll("\xF8\x88\x80\x80\x80"), (std::vector<char32_t>(5, R)));    // five-byte form
  // A sequence cut short, by the end of the text or by a new lead byte, gives one
  // replacement per byte it had; what follows is read afresh.
  EXPECT_EQ(decodeAll("\xF0\x9F\x98"), (std::vector<char32_t>{R, R, R}));
  EXPECT_EQ(decodeAll("\xE2\x82\xC3\xA9"), (std::vector<char32_t>{R, R, 0xE9}));
}

TEST(Utf8Decoder, WideAndCodePageConversionsAgreeOnWhatIsMalformed) {
  const std::vector<std::string> inputs = {"a\xC3",
                                           "\xC0\xAF",
                                           "\xED\xA0\x80",
                                           "\xFF"
                                           "b",
                                           "\xF4\x90\x80\x80",
                                           "\xE2\x82\xC3\xA9",
                                           "\x80\x80z",
                                           "ok"};
  for (const std::string& in : inputs) {
    const std::u16string wide = app::toUtf16(in);
    const std::string ansi = text::utf8ToCp1252(in);
    ASSERT_EQ(wide.size(), ansi.size()) << in;
    for (std::size_t i = 0; i < wide.size(); ++i) {
      EXPECT_EQ(wide[i] == u'\uFFFD', ansi[i] == '?') << in << " at " << i;
    }
  }
}

TEST(Utf8Decoder, EncoderRoundTripsEveryFormLength) {
  const std::u32string points = U"A\u00E9\u20AC\U0001F600\U0010FFFF";
  std::string utf8;
  for (char32_t c : points) text::appendUtf8(utf8, c);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(decodeAll(utf8), std::vector<char32_t>(points.begin(), points.end()));
  EXPECT_EQ(app::toUtf8(app::toUtf16(utf8)), utf8);
}

}  // namespace
