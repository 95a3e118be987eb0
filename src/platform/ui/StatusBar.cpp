#include "platform/ui/StatusBar.h"

#include <cmath>

#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Screen.h"

namespace platform::ui {

StatusBar& StatusBar::shared() {
  static StatusBar* bar = new StatusBar();
  return *bar;
}

void StatusBar::setHidden(bool hidden) {
  if (hidden == hidden_) return;
  hidden_ = hidden;
  Value info = Value::object();
  info["new"] = hidden;
  NotificationCenter::defaultCenter().post(kStatusBarHiddenDidChangeNotification, this, nullptr, info);
  postFrameChange();
}

void StatusBar::setStyle(int style) {
  if (style == style_) return;
  style_ = style;
  NotificationCenter::defaultCenter().post(kStatusBarStyleDidChangeNotification, this);
}

void StatusBar::setThickness(double thickness) {
  if (!std::isfinite(thickness) || thickness < 0) thickness = 0;
  if (thickness == thickness_) return;
  thickness_ = thickness;
  if (!hidden_) postFrameChange();
}

Rect StatusBar::frame() const {
  if (hidden_) return {};
  return {{0, 0}, {Screen::mainBounds().width(), thickness_}};
}

void StatusBar::tap() { NotificationCenter::defaultCenter().post(kStatusBarTappedNotification, this); }

void StatusBar::reset() {
  setHidden(false);
  setStyle(kStatusBarStyleDefault);
  orientation_ = 1;
  setThickness(20);
}

void StatusBar::postFrameChange() {
  Rect f = frame();
  Value info = Value::object();
  info["x"] = f.origin.x;
  info["y"] = f.origin.y;
  info["width"] = f.width();
  info["height"] = f.height();
  NotificationCenter::defaultCenter().post(kApplicationDidChangeStatusBarFrameNotification, this, nullptr, info);
}

}  // namespace platform::ui
