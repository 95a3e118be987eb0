#pragma once

#include "platform/ui/Geometry.h"

namespace platform::ui {

// Screens report their bounds; the desktop has one. The shell sets them to its window's
// size before anything is made, so windows and views made without a frame fit it.
struct Screen {
  static Rect mainBounds();
  static void setMainBounds(Rect bounds);
};

}  // namespace platform::ui
