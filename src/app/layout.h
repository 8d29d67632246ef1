// The splash window's layout: a small text format compiled into the program as a
// resource and parsed when the window is created.
//
// Format: one statement per line; '#' starts a comment outside quotes. A block opens
// with `form NAME`, `picture NAME`, `label NAME` or `table NAME`; the indented lines
// after it are `key value...` pairs of that block. Strings are double-quoted, with \"
// and \\ as the only escapes. Elements keep the order of the file, which is their
// creation and painting order. Every value is required; unknown or repeated keys are
// errors, reported with their line number.
#ifndef ORVANE_APP_LAYOUT_H
#define ORVANE_APP_LAYOUT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace app {

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int width() const { return right - left; }
  int height() const { return bottom - top; }
  // Half-open: the right and bottom edges are outside.
  bool contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Colour {
  enum class Kind { Rgb, WindowText, ButtonFace };
  Kind kind = Kind::Rgb;
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;

  static Colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return {Kind::Rgb, r, g, b}; }
  static Colour system(Kind kind) { return {kind, 0, 0, 0}; }
  friend bool operator==(const Colour&, const Colour&) = default;
};

struct Font {
  std::string face;
  int height = 0;  // character height in pixels, internal leading excluded
  bool bold = false;
  friend bool operator==(const Font&, const Font&) = default;
};

enum class Align { Left, Center, Right };

struct PictureElement {
  std::string name;
  Rect bounds;
  std::string resource;  // name of the PNG resource
  int imageWidth = 0;    // the picture's own size, checked when it is decoded
  int imageHeight = 0;
  bool stretch = false;
  bool smooth = false;
};

struct LabelElement {
  std::string name;
  Rect bounds;
  std::string text;  // UTF-8
  Align align = Align::Left;
  bool wordWrap = false;
  Font font;
  Colour colour;
  bool transparent = true;
  Colour background;  // used when not transparent
};

// A non-visual table object: its initial state only.
struct TableElement {
  std::string name;
  std::string tableName;
  std::string databaseName;
  bool active = false;
  bool exclusive = false;
};

using Element = std::variant<PictureElement, LabelElement, TableElement>;

struct FormLayout {
  std::string name;
  std::string caption;
  int clientWidth = 0;
  int clientHeight = 0;
  Colour colour;
  Font font;
  int designPpi = 96;         // resolution the layout was drawn for
  int designTextHeight = 13;  // height of "0" in the base font at that resolution
  bool border = false;
  bool titleBar = false;
  bool borderIcons = false;
  bool scrollBars = false;
  bool topmost = false;
  std::vector<Element> elements;

  const LabelElement* findLabel(std::string_view name) const;
  LabelElement* findLabel(std::string_view name);
  const PictureElement* findPicture(std::string_view name) const;
  const TableElement* findTable(std::string_view name) const;
};

// Throws app::Error("layout line N: ...") on any malformed or missing value.
FormLayout parseLayout(std::string_view text);

}  // namespace app

#endif  // ORVANE_APP_LAYOUT_H
