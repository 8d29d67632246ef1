#include "app/geometry.h"

#include <cstdint>
#include <cstdlib>

#include "app/errors.h"

namespace app {

int mulDiv(int a, int b, int c) {
  if (c == 0) {
    throw Error("division by zero in scaling");
  }
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const bool negative = (product < 0) != (c < 0);
  const std::int64_t p = std::llabs(product);
  const std::int64_t d = std::llabs(static_cast<std::int64_t>(c));
  const std::int64_t q = (p + d / 2) / d;
  return static_cast<int>(negative ? -q : q);
}

int baseFontHeight(const FormLayout& layout, int ppi) {
  if (ppi == layout.designPpi) {
    return layout.font.height;
  }
  return mulDiv(layout.font.height, ppi, layout.designPpi);
}

int pixelsToPoints(int pixels, int ppi) { return mulDiv(pixels, 72, ppi); }
int pointsToPixels(int points, int ppi) { return mulDiv(points, ppi, 72); }

FormLayout scaleLayout(const FormLayout& layout, int ppi, int textHeight) {
  FormLayout out = layout;
  out.font.height = baseFontHeight(layout, ppi);
  if (textHeight == layout.designTextHeight || textHeight <= 0) {
    return out;
  }
  const int m = textHeight;
  const int d = layout.designTextHeight;
  const auto scaleRect = [&](Rect& r) {
    r = Rect{mulDiv(r.left, m, d), mulDiv(r.top, m, d), mulDiv(r.right, m, d), mulDiv(r.bottom, m, d)};
  };
  out.clientWidth = mulDiv(layout.clientWidth, m, d);
  out.clientHeight = mulDiv(layout.clientHeight, m, d);
  for (Element& element : out.elements) {
    if (auto* picture = std::get_if<PictureElement>(&element)) {
      scaleRect(picture->bounds);
    } else if (auto* label = std::get_if<LabelElement>(&element)) {
      scaleRect(label->bounds);
      const int points = mulDiv(pixelsToPoints(label->font.height, ppi), m, d);
      label->font.height = pointsToPixels(points, ppi);
    }
  }
  return out;
}

Point centreIn(const Rect& area, int width, int height) {
  return Point{area.left + (area.width() - width) / 2, area.top + (area.height() - height) / 2};
}

const LabelElement* labelAt(const FormLayout& layout, int x, int y) {
  for (auto it = layout.elements.rbegin(); it != layout.elements.rend(); ++it) {
    if (const auto* label = std::get_if<LabelElement>(&*it); label != nullptr && label->bounds.contains(x, y)) {
      return label;
    }
  }
  return nullptr;
}

}  // namespace app
