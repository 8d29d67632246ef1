#include "app/layout.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/errors.h"
#include "test_files.h"
#include "support/throws.h"

namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

using app::Align;
using app::Colour;
using app::Rect;

app::FormLayout shipped() { return app::parseLayout(readResourceText("splash.layout")); }

Rect box(int left, int top, int width, int height) { return Rect{left, top, left + width, top + height}; }

TEST(Layout, ShippedFormProperties) {
  const app::FormLayout f = shipped();
  EXPECT_EQ(f.name, "TFrmindexer");
  EXPECT_EQ(f.caption, "Reindexation");
  EXPECT_EQ(f.clientWidth, 325);
  EXPECT_EQ(f.clientHeight, 209);
  EXPECT_EQ(f.colour, Colour::rgb(217, 217, 179));
  EXPECT_EQ(f.font, (app::Font{"MS Sans Serif", 11, false}));
  EXPECT_EQ(f.designPpi, 96);
  EXPECT_EQ(f.designTextHeight, 13);
  EXPECT_FALSE(f.border);
  EXPECT_FALSE(f.titleBar);
  EXPECT_FALSE(f.borderIcons);
  EXPECT_FALSE(f.scrollBars);
  EXPECT_FALSE(f.topmost);
}

TEST(Layout, ShippedElementsInCreationOrder) {
  const app::FormLayout f = shipped();
  ASSERT_EQ(f.elements.size(), 6u);
  const char* order[] = {"Image2", "Labelinfos2", "Labelsignature", "C", "Labelinfos", "tabletransit"};
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string name = std::visit([](const auto& e) { return e.name; }, f.elements[i]);
    EXPECT_EQ(name, order[i]);
  }

  const app::PictureElement& image = std::get<app::PictureElement>(f.elements[0]);
  EXPECT_EQ(image.bounds, box(0, 0, 325, 209));
  EXPECT_EQ(image.resource, "SPLASH_PNG");
  EXPECT_EQ(image.imageWidth, 354);
  EXPECT_EQ(image.imageHeight, 234);
  EXPECT_TRUE(image.stretch);
  EXPECT_FALSE(image.smooth);

  const app::LabelElement& infos2 = std::get<app::LabelElement>(f.elements[1]);
  EXPECT_EQ(infos2.bounds, box(64, 207, 153, 18));
  EXPECT_EQ(infos2.text, std::string(51, '-'));
  EXPECT_EQ(infos2.align, Align::Center);
  EXPECT_TRUE(infos2.wordWrap);
  EXPECT_EQ(infos2.font, (app::Font{"Arial", 16, false}));
  EXPECT_EQ(infos2.colour, Colour::system(Colour::Kind::WindowText));
  EXPECT_FALSE(infos2.transparent);
  EXPECT_EQ(infos2.background, Colour::system(Colour::Kind::ButtonFace));

  const app::LabelElement& signature = std::get<app::LabelElement>(f.elements[2]);
  EXPECT_EQ(signature.bounds, box(6, 192, 288, 17));
  EXPECT_EQ(signature.align, Align::Center);
  EXPECT_FALSE(signature.wordWrap);
  EXPECT_EQ(signature.font, (app::Font{"Arial", 11, false}));
  EXPECT_EQ(signature.colour, Colour::rgb(79, 79, 79));
  EXPECT_TRUE(signature.transparent);

  const app::LabelElement& title = std::get<app::LabelElement>(f.elements[3]);
  EXPECT_EQ(title.bounds, box(24, 8, 289, 42));
  EXPECT_EQ(title.text, "Orvane");
  EXPECT_EQ(title.align, Align::Center);
  EXPECT_FALSE(title.wordWrap);
  EXPECT_EQ(title.font, (app::Font{"Arial", 32, true}));
  EXPECT_EQ(title.colour, Colour::rgb(0, 0, 0));
  EXPECT_TRUE(title.transparent);

  const app::LabelElement& infos = std::get<app::LabelElement>(f.elements[4]);
  EXPECT_EQ(infos.bounds, box(77, 171, 138, 18));
  EXPECT_EQ(infos.text, "Reindexation en cours");
  EXPECT_EQ(infos.align, Align::Left);
  EXPECT_TRUE(infos.wordWrap);
  EXPECT_EQ(infos.font, (app::Font{"Arial", 13, false}));
  EXPECT_EQ(infos.colour, Colour::rgb(83, 0, 0));
  EXPECT_TRUE(infos.transparent);

  const app::TableElement& table = std::get<app::TableElement>(f.elements[5]);
  EXPECT_EQ(table.tableName, "");
  EXPECT_EQ(table.databaseName, "");
  EXPECT_FALSE(table.active);
  EXPECT_FALSE(table.exclusive);

  EXPECT_EQ(f.findLabel("C"), &title);
  EXPECT_EQ(f.findLabel("Image2"), nullptr);
  EXPECT_EQ(f.findPicture("Image2"), &image);
  EXPECT_EQ(f.findTable("tabletransit"), &table);
}

const char* kMinimal =
    "form F\n"
    "  caption \"a \\\"quoted\\\" # not a comment\"  # a comment\n"
    "  client 10 20\n"
    "  color btnface\n"
    "  font \"X\" 9\n"
    "  ppi 96\n"
    "  textheight 13\n"
    "  border no\n"
    "  titlebar no\n"
    "  bordericons no\n"
    "  scrollbars no\n"
    "  topmost yes\n";

TEST(Layout, StringsCommentsAndLineEndings) {
  const app::FormLayout f = app::parseLayout(kMinimal);
  EXPECT_EQ(f.caption, "a \"quoted\" # not a comment");
  EXPECT_EQ(f.colour, Colour::system(Colour::Kind::ButtonFace));
  EXPECT_TRUE(f.topmost);
  std::string crlf;
  for (const char* p = kMinimal; *p != '\0'; ++p) {
    if (*p == '\n') crlf += '\r';
    crlf += *p;
  }
  EXPECT_EQ(app::parseLayout(crlf).caption, f.caption);
}

// Each broken variant must be refused with the offending line number.
void expectRejected(const std::string& text, const std::string& fragment) {
  EXPECT_THAT([&] { app::parseLayout(text); }, ThrowsMessage<app::Error>(HasSubstr(fragment))) << text;
}

TEST(Layout, MalformedDataIsRefused) {
  const std::string ok = kMinimal;
  expectRejected("", "no form");
  expectRejected(ok + "  client 1 2\n", "line 13: 'client' given twice");
  expectRejected(ok + "  colour 1 2 3\n", "line 13: unknown key 'colour'");
  expectRejected(ok + "label L\n  bounds 1 2 3\n", "'bounds' is missing a number");
  expectRejected(ok + "label L\n  bounds 1 2 3 4\n", "label L lacks");
  expectRejected(std::string(kMinimal).replace(ok.find("10 20"), 5, "10 2x"), "line 3: 'client': '2x'");
  expectRejected(std::string(kMinimal).replace(ok.find("10 20"), 5, "10 0"), "out of range");
  expectRejected(std::string(kMinimal).replace(ok.find("btnface"), 7, "1 2 256"), "out of range");
  expectRejected(std::string(kMinimal).replace(ok.find("topmost yes"), 11, "topmost maybe"), "yes or no");
  expectRejected("form F\n  caption \"open\n", "line 2: unterminated string");
  expectRejected("form F\n  caption \"bad \\n escape\"\n", "bad escape");
  expectRejected("label L\n", "elements come after the form");
  expectRejected(ok + "form G\n", "only one form");
  expectRejected(ok + "widget W\n", "unknown block 'widget'");
  expectRejected("  caption \"x\"\n", "outside any block");
  expectRejected(ok + "table F\n", "the name 'F' is used twice");
  expectRejected(ok + "  client 1 2 3\n", "given twice");
  expectRejected(std::string(kMinimal).replace(ok.find("client 10 20"), 12, "client 10 20 30"), "unexpected '30'");
  expectRejected(std::string(kMinimal).replace(ok.find("\"X\" 9"), 5, "\"X\" 9 italic"), "unknown font style");
}

TEST(Layout, DamagedDataFailsCleanly) {
  const std::string good = readResourceText("splash.layout");
  const char alphabet[] = " \t\n\"\\#-0123456789azAZ\xC3\xA9\x00";
  std::uint32_t seed = 7;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string bad = good;
    for (int e = 0; e < 3; ++e) {
      bad[next() % bad.size()] = alphabet[next() % (sizeof alphabet - 1)];
    }
    if (round % 4 == 0) bad.resize(next() % bad.size());
    try {
      app::parseLayout(bad);
    } catch (const app::Error&) {}
  }
}

}  // namespace
