#pragma once

namespace platform::ui {

struct Point {
  double x = 0, y = 0;
};
struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};
struct Rect {
  Point origin;
  Size size;
  double width() const { return size.width; }
  double height() const { return size.height; }
};
inline bool operator==(const Rect& a, const Rect& b) {
  return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.size == b.size;
}

// Distances from each edge of a rectangle inwards.
struct EdgeInsets {
  double top = 0, left = 0, bottom = 0, right = 0;
  bool operator==(const EdgeInsets&) const = default;
};

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  bool operator==(const Color&) const = default;
  static Color white() { return {1, 1, 1, 1}; }
};

// Autoresizing mask bits, as the host sets them on its web view.
enum AutoresizingMask : unsigned {
  kAutoresizingNone = 0,
  kAutoresizingFlexibleLeftMargin = 1 << 0,
  kAutoresizingFlexibleWidth = 1 << 1,
  kAutoresizingFlexibleRightMargin = 1 << 2,
  kAutoresizingFlexibleTopMargin = 1 << 3,
  kAutoresizingFlexibleHeight = 1 << 4,
  kAutoresizingFlexibleBottomMargin = 1 << 5,
};

}  // namespace platform::ui
