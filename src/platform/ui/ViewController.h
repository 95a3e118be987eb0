#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/ui/Screen.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/View.h"

namespace platform::ui {

// Owns one view and hears about its life cycle. The view is made on first access
// (`loadView`), after which `viewDidLoad` runs once.
class ViewController : public platform::Object {
 public:
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }

  virtual void loadView() { view_ = std::make_shared<View>(Screen::mainBounds()); }
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool) {}
  virtual void viewDidAppear(bool) {}
  virtual void viewWillDisappear(bool) {}
  virtual void viewDidDisappear(bool) {}
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}
  // The view is about to take a new size (the window was resized or turned).
  virtual void viewWillTransitionToSize(Size) {}
  virtual void didReceiveMemoryWarning() {}

  // What the controller wants of the status bar, kept for it (a category's associated values
  // on the platform this stands in for); nullopt is no wish. `setNeedsStatusBarAppearanceUpdate`
  // applies them: hidden (false without a wish) and style (0 without a wish).
  std::optional<bool> statusBarHiddenWish() const { return statusBarHiddenWish_; }
  void setStatusBarHiddenWish(std::optional<bool> hidden) { statusBarHiddenWish_ = hidden; }
  std::optional<int> statusBarStyleWish() const { return statusBarStyleWish_; }
  void setStatusBarStyleWish(std::optional<int> style) { statusBarStyleWish_ = style; }
  virtual bool prefersStatusBarHidden() const { return statusBarHiddenWish_.value_or(false); }
  virtual int preferredStatusBarStyle() const { return statusBarStyleWish_.value_or(kStatusBarStyleDefault); }
  void setNeedsStatusBarAppearanceUpdate() {
    StatusBar::shared().setHidden(prefersStatusBarHidden());
    StatusBar::shared().setStyle(preferredStatusBarStyle());
  }

  // Modal presentation over this controller (over the top-most controller it already
  // presents, so several can be stacked). The shell installs a hook that shows a presented
  // controller's view in a window of its own; without one, presentation is only recorded.
  void presentViewController(const std::shared_ptr<ViewController>& controller, bool animated);
  // Dismisses this controller when something presents it, else the one it presents.
  void dismissViewController(bool animated);
  std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }

  struct PresentationHook {
    std::function<void(const std::shared_ptr<ViewController>& presenter,
                       const std::shared_ptr<ViewController>& presented, bool animated)>
        present;
    std::function<void(const std::shared_ptr<ViewController>& presented, bool animated)> dismiss;
  };
  // Main thread only, like every presentation.
  static void setPresentationHook(PresentationHook hook) { presentationHook() = std::move(hook); }

 protected:
  void setView(std::shared_ptr<View> view) { view_ = std::move(view); }

 private:
  static PresentationHook& presentationHook() {
    static PresentationHook hook;
    return hook;
  }

  std::shared_ptr<View> view_;
  std::optional<bool> statusBarHiddenWish_;
  std::optional<int> statusBarStyleWish_;
  std::shared_ptr<ViewController> presented_;
  std::weak_ptr<ViewController> presenting_;
};

inline std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    viewDidLoad();
  }
  return view_;
}

inline void ViewController::presentViewController(const std::shared_ptr<ViewController>& controller,
                                                  bool animated) {
  if (!controller || controller.get() == this) return;
  auto self = std::static_pointer_cast<ViewController>(shared_from_this());
  auto top = self;
  while (top->presented_) top = top->presented_;
  if (controller->presenting_.lock()) return;  // already on screen elsewhere
  top->presented_ = controller;
  controller->presenting_ = top;
  if (presentationHook().present) presentationHook().present(top, controller, animated);
}

inline void ViewController::dismissViewController(bool animated) {
  auto presenter = presenting_.lock();
  std::shared_ptr<ViewController> dismissed;
  if (presenter) {
    dismissed = std::static_pointer_cast<ViewController>(shared_from_this());
  } else if (presented_) {
    presenter = std::static_pointer_cast<ViewController>(shared_from_this());
    dismissed = presented_;
  } else {
    return;
  }
  // Whatever the dismissed controller presents goes with it, the top-most first.
  std::vector<std::shared_ptr<ViewController>> chain;
  for (auto c = dismissed; c; c = c->presented_) chain.push_back(c);
  presenter->presented_.reset();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    (*it)->presented_.reset();
    (*it)->presenting_.reset();
    if (presentationHook().dismiss) presentationHook().dismiss(*it, animated);
  }
}

}  // namespace platform::ui
