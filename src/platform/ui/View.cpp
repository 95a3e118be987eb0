#include "platform/ui/View.h"

#include <algorithm>

#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"

namespace platform::ui {

void View::setFrame(Rect frame) {
  Rect old = frame_;
  frame_ = frame;
  if (autoresizesSubviews_) {
    double dw = frame.size.width - old.size.width;
    double dh = frame.size.height - old.size.height;
    for (auto& sub : subviews_) {
      Rect f = sub->frame();
      unsigned mask = sub->autoresizingMask();
      if (mask & kAutoresizingFlexibleWidth) f.size.width += dw;
      if (mask & kAutoresizingFlexibleHeight) f.size.height += dh;
      if (mask & (kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight)) sub->setFrame(f);
    }
  }
  notifyChange();
}

void View::setHidden(bool hidden) {
  hidden_ = hidden;
  notifyChange();
}

void View::setAlpha(double alpha) {
  alpha_ = std::clamp(alpha, 0.0, 1.0);
  notifyChange();
}

void View::setBackgroundColor(std::optional<Color> color) {
  backgroundColor_ = color;
  notifyChange();
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  subviews_.push_back(view);
  view->superview_ = weak_from_this();
  notifyChange();
}

void View::removeFromSuperview() {
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto& subs = parent->subviews_;
  subs.erase(std::remove_if(subs.begin(), subs.end(), [&](const auto& v) { return v.get() == this; }),
             subs.end());
  parent->notifyChange();
}

void View::sendSubviewToBack(const std::shared_ptr<View>& view) {
  auto it = std::find(subviews_.begin(), subviews_.end(), view);
  if (it == subviews_.end()) return;
  std::rotate(subviews_.begin(), it, it + 1);
  notifyChange();
}

std::shared_ptr<Window> View::window() const {
  if (weak_from_this().expired()) return nullptr;
  std::shared_ptr<const View> top = shared_from_this();
  while (auto parent = top->superview()) top = parent;
  return std::dynamic_pointer_cast<Window>(std::const_pointer_cast<View>(top));
}

EdgeInsets View::safeAreaInsets() const {
  EdgeInsets insets;
  if (weak_from_this().expired() || !window()) return insets;
  // The window's own origin is its place on the screen, where the status bar is measured.
  double top = 0;
  for (auto view = shared_from_this(); view && !dynamic_cast<const Window*>(view.get()); view = view->superview())
    top += view->frame().origin.y;
  Rect bar = StatusBar::shared().frame();
  insets.top = std::clamp(bar.origin.y + bar.height() - top, 0.0, std::max(0.0, frame_.size.height));
  return insets;
}

void View::notifyChange() {
  didChange();
  if (changeObserver_) changeObserver_(*this);
}

}  // namespace platform::ui
