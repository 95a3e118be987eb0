#pragma once

#include <memory>

#include "platform/foundation/Object.h"
#include "platform/ui/View.h"

namespace platform::ui {

// Owns one view and hears about its life cycle. The view is made on first access
// (`loadView`), after which `viewDidLoad` runs once.
class ViewController : public platform::Object {
 public:
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }

  virtual void loadView() { view_ = std::make_shared<View>(Rect{{0, 0}, {390, 844}}); }
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool) {}
  virtual void viewDidAppear(bool) {}
  virtual void viewWillDisappear(bool) {}
  virtual void viewDidDisappear(bool) {}
  virtual void viewWillLayoutSubviews() {}
  virtual void viewDidLayoutSubviews() {}
  virtual void didReceiveMemoryWarning() {}

 protected:
  void setView(std::shared_ptr<View> view) { view_ = std::move(view); }

 private:
  std::shared_ptr<View> view_;
};

inline std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    viewDidLoad();
  }
  return view_;
}

}  // namespace platform::ui
