#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ui/Geometry.h"

namespace platform::ui {

class Window;

// A rectangle of the window: the model the host drives. Backends (GTK) observe changes
// through the `did*` hooks; the plain class is a complete headless view.
class View : public std::enable_shared_from_this<View> {
 public:
  explicit View(Rect frame = {}) : frame_(frame) {}
  virtual ~View() = default;

  Rect frame() const { return frame_; }
  virtual void setFrame(Rect frame);
  Rect bounds() const { return Rect{{0, 0}, frame_.size}; }

  bool isHidden() const { return hidden_; }
  virtual void setHidden(bool hidden);
  double alpha() const { return alpha_; }
  virtual void setAlpha(double alpha);
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  virtual void setBackgroundColor(std::optional<Color> color);
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
  bool autoresizesSubviews() const { return autoresizesSubviews_; }
  void setAutoresizesSubviews(bool value) { autoresizesSubviews_ = value; }

  // The window at the top of this view's superviews, nullptr when it is in none.
  std::shared_ptr<Window> window() const;
  // The part of the view that the status bar covers, as an inset from its top edge; zero
  // for a view in no window.
  EdgeInsets safeAreaInsets() const;

  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  std::shared_ptr<View> superview() const { return superview_.lock(); }
  virtual void addSubview(const std::shared_ptr<View>& view);
  virtual void removeFromSuperview();
  virtual void sendSubviewToBack(const std::shared_ptr<View>& view);

  // A view that draws itself on screen (the web view) hands the window its own widget here:
  // a toolkit object (a GtkWidget under GTK), kept toolkit-neutral so that this layer needs
  // no toolkit. Plain views have none; the window mirrors their model instead.
  virtual void* nativeWidget() const { return nullptr; }

  // A backend that mirrors plain views on screen (the GTK window) hears about every change
  // of this view's model, after `didChange`. One observer per view; nullptr removes it.
  using ChangeObserver = std::function<void(View&)>;
  void setChangeObserver(ChangeObserver observer) { changeObserver_ = std::move(observer); }

 protected:
  // Called after the model changed, for backends that mirror it.
  virtual void didChange() {}

 private:
  Rect frame_;
  bool hidden_ = false;
  double alpha_ = 1.0;
  std::optional<Color> backgroundColor_;
  unsigned autoresizingMask_ = kAutoresizingNone;
  bool autoresizesSubviews_ = true;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<View> superview_;
  ChangeObserver changeObserver_;

  void notifyChange();
};

}  // namespace platform::ui
