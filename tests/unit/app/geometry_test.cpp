#include "app/geometry.h"

#include <gtest/gtest.h>

#include "test_files.h"

namespace {

using app::Rect;

app::FormLayout shipped() { return app::parseLayout(readResourceText("splash.layout")); }

TEST(Scaling, MulDivRoundsHalvesAwayFromZero) {
  EXPECT_EQ(app::mulDiv(11, 120, 96), 14);  // 13.75
  EXPECT_EQ(app::mulDiv(11, 144, 96), 17);  // 16.5
  EXPECT_EQ(app::mulDiv(-11, 144, 96), -17);
  EXPECT_EQ(app::mulDiv(325, 12, 13), 300);
  EXPECT_EQ(app::mulDiv(209, 12, 13), 193);  // 192.92
  EXPECT_EQ(app::mulDiv(1, 1, 2), 1);
  EXPECT_EQ(app::mulDiv(2000000000, 3, 4), 1500000000);  // no overflow in between
  EXPECT_THROW(app::mulDiv(1, 1, 0), std::exception);
}

TEST(Scaling, BaseFontFollowsTheResolution) {
  const app::FormLayout f = shipped();
  EXPECT_EQ(app::baseFontHeight(f, 96), 11);
  EXPECT_EQ(app::baseFontHeight(f, 120), 14);
  EXPECT_EQ(app::baseFontHeight(f, 144), 17);
  EXPECT_EQ(app::baseFontHeight(f, 72), 8);  // 8.25
}

TEST(Scaling, DesignTextHeightLeavesEverythingAlone) {
  const app::FormLayout f = shipped();
  const app::FormLayout s = app::scaleLayout(f, 96, 13);
  EXPECT_EQ(s.clientWidth, 325);
  EXPECT_EQ(s.clientHeight, 209);
  EXPECT_EQ(s.findLabel("C")->font.height, 32);
  EXPECT_EQ(s.findLabel("Labelinfos")->font.height, 13);
  EXPECT_EQ(s.findLabel("Labelinfos2")->bounds, (Rect{64, 207, 217, 225}));
  EXPECT_EQ(s.findPicture("Image2")->bounds, (Rect{0, 0, 325, 209}));
  // At another resolution only the base font changes while "0" still measures 13.
  const app::FormLayout t = app::scaleLayout(f, 120, 13);
  EXPECT_EQ(t.font.height, 14);
  EXPECT_EQ(t.clientWidth, 325);
  EXPECT_EQ(t.findLabel("C")->font.height, 32);
}

TEST(Scaling, OtherTextHeightScalesEdgesAndFontPoints) {
  const app::FormLayout f = shipped();
  // 96 ppi, but the stand-in font measures 12 (as with some substitutes).
  const app::FormLayout s = app::scaleLayout(f, 96, 12);
  EXPECT_EQ(s.clientWidth, 300);
  EXPECT_EQ(s.clientHeight, 193);
  // Edges, not sizes, are scaled: 64..217 -> 59..200, 207..225 -> 191..208.
  EXPECT_EQ(s.findLabel("Labelinfos2")->bounds, (Rect{59, 191, 200, 208}));
  EXPECT_EQ(s.findLabel("Labelsignature")->bounds, (Rect{6, 177, 271, 193}));
  // Fonts go through whole points: 32 px = 24 pt -> 22 pt -> 29 px.
  EXPECT_EQ(s.findLabel("C")->font.height, 29);
  // 13 px = 10 pt (9.75) -> 9 pt (9.23) -> 12 px.
  EXPECT_EQ(s.findLabel("Labelinfos")->font.height, 12);
  // 11 px = 8 pt -> 7 pt (7.38) -> 9 px.
  EXPECT_EQ(s.findLabel("Labelsignature")->font.height, 9);
  EXPECT_EQ(s.findLabel("C")->font.bold, true);
  EXPECT_EQ(s.findPicture("Image2")->bounds, (Rect{0, 0, 300, 193}));
}

TEST(Scaling, LargerResolutions) {
  const app::FormLayout f = shipped();
  // 120 ppi with "0" measuring 16: factor 16/13.
  const app::FormLayout a = app::scaleLayout(f, 120, 16);
  EXPECT_EQ(a.font.height, 14);
  EXPECT_EQ(a.clientWidth, 400);
  EXPECT_EQ(a.clientHeight, 257);  // 257.23
  EXPECT_EQ(a.findLabel("C")->bounds, (Rect{30, 10, 385, 62}));
  // 32 px at 120 ppi = 19 pt (19.2) -> 23 pt (23.38) -> 38 px (38.33).
  EXPECT_EQ(a.findLabel("C")->font.height, 38);
  // 144 ppi with "0" measuring 20: factor 20/13.
  const app::FormLayout b = app::scaleLayout(f, 144, 20);
  EXPECT_EQ(b.font.height, 17);
  EXPECT_EQ(b.clientWidth, 500);
  EXPECT_EQ(b.clientHeight, 322);  // 321.54
  // 16 px at 144 ppi = 8 pt -> 12 pt (12.31) -> 24 px.
  EXPECT_EQ(b.findLabel("Labelinfos2")->font.height, 24);
}

TEST(Placement, CentredInTheWorkArea) {
  EXPECT_EQ(app::centreIn(Rect{0, 0, 1024, 768}, 325, 209), (app::Point{349, 279}));
  // A work area that does not start at the origin (taskbar on the left or top).
  EXPECT_EQ(app::centreIn(Rect{60, 30, 1024, 768}, 300, 193), (app::Point{392, 302}));
  // Larger than the area: centred, overhanging on both sides.
  EXPECT_EQ(app::centreIn(Rect{0, 0, 200, 100}, 300, 200), (app::Point{-50, -50}));
}

TEST(Clicks, LabelsTakeThePressEverywhereInTheirRectangle) {
  const app::FormLayout f = shipped();
  // Picture: corners, between labels, and below the status line.
  EXPECT_TRUE(app::pressStartsPictureClick(f, 0, 0));
  EXPECT_TRUE(app::pressStartsPictureClick(f, 5, 200));
  EXPECT_TRUE(app::pressStartsPictureClick(f, 160, 100));
  EXPECT_TRUE(app::pressStartsPictureClick(f, 320, 5));
  EXPECT_TRUE(app::pressStartsPictureClick(f, 76, 180));   // just left of Labelinfos
  EXPECT_TRUE(app::pressStartsPictureClick(f, 100, 50));   // just below C
  EXPECT_TRUE(app::pressStartsPictureClick(f, 300, 200));  // right of the maker line
  // Labels, including their empty parts and the transparent ones.
  EXPECT_EQ(app::labelAt(f, 24, 8)->name, "C");
  EXPECT_EQ(app::labelAt(f, 312, 49)->name, "C");
  EXPECT_EQ(app::labelAt(f, 214, 188)->name, "Labelinfos");
  EXPECT_EQ(app::labelAt(f, 10, 200)->name, "Labelsignature");
  EXPECT_EQ(app::labelAt(f, 293, 208)->name, "Labelsignature");
  // Where labels overlap, the one painted last is on top.
  EXPECT_EQ(app::labelAt(f, 100, 208)->name, "Labelsignature");
  EXPECT_EQ(app::labelAt(f, 100, 186)->name, "Labelinfos");
  // Inside the client area the secondary line lies under the maker line; below it
  // (a maximised window) it takes the press itself.
  EXPECT_EQ(app::labelAt(f, 64, 207)->name, "Labelsignature");
  EXPECT_EQ(app::labelAt(f, 100, 220)->name, "Labelinfos2");
  EXPECT_TRUE(app::pressStartsPictureClick(f, 100, 225));
  // The right and bottom edges are outside.
  EXPECT_TRUE(app::pressStartsPictureClick(f, 313, 20));
  EXPECT_TRUE(app::pressStartsPictureClick(f, 200, 50));
  // Scaled layouts hit-test their scaled rectangles.
  const app::FormLayout s = app::scaleLayout(f, 96, 12);
  EXPECT_EQ(app::labelAt(s, 288, 45)->name, "C");
  EXPECT_TRUE(app::pressStartsPictureClick(s, 288, 46));
  EXPECT_TRUE(app::pressStartsPictureClick(s, 289, 45));
}

}  // namespace
