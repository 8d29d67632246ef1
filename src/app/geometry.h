// Sizing and placement arithmetic of the splash window, and which element a mouse
// press lands on.
#ifndef ORVANE_APP_GEOMETRY_H
#define ORVANE_APP_GEOMETRY_H

#include <string_view>

#include "app/layout.h"

namespace app {

// a * b / c rounded to the nearest whole number, halves away from zero (as the
// Windows MulDiv does). c must not be 0.
int mulDiv(int a, int b, int c);

// Height of the base font for a screen of `ppi` pixels per inch.
int baseFontHeight(const FormLayout& layout, int ppi);

// Font size in whole points for a character height in pixels at `ppi`, and back.
int pixelsToPoints(int pixels, int ppi);
int pointsToPixels(int points, int ppi);

// The layout as the window is created on a screen of `ppi` pixels per inch whose base
// font measures `textHeight` pixels for "0". When that height equals the design
// height nothing changes; otherwise the client size, every element's edges and every
// label's font size in points are multiplied by textHeight / designTextHeight.
FormLayout scaleLayout(const FormLayout& layout, int ppi, int textHeight);

// Top-left corner that centres a window of the given size in an area.
struct Point {
  int x = 0;
  int y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};
Point centreIn(const Rect& area, int width, int height);

// The label whose rectangle covers the point, the topmost (last painted) first;
// nullptr when the point is on the picture.
const LabelElement* labelAt(const FormLayout& layout, int x, int y);

// A left-button press at (x, y) in client coordinates starts a click on the picture.
inline bool pressStartsPictureClick(const FormLayout& layout, int x, int y) { return labelAt(layout, x, y) == nullptr; }

}  // namespace app

#endif  // ORVANE_APP_GEOMETRY_H
