#include "platform/ui/Screen.h"

namespace platform::ui {
namespace {
Rect gMainScreenBounds{{0, 0}, {390, 844}};
}  // namespace

Rect Screen::mainBounds() { return gMainScreenBounds; }
void Screen::setMainBounds(Rect bounds) { gMainScreenBounds = bounds; }

}  // namespace platform::ui
