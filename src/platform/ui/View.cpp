#include "platform/ui/View.h"

#include <algorithm>

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

void View::notifyChange() {
  didChange();
  if (changeObserver_) changeObserver_(*this);
}

}  // namespace platform::ui
