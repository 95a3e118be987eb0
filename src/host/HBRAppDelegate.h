#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ClassRegistry.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Application.h"

class HBRViewController;

// Application delegate classes by name; the entry function makes the one named "AppDelegate".
using HBRApplicationDelegateClassRegistry =
    platform::ClassRegistry<std::shared_ptr<platform::ui::ApplicationDelegate>()>;

// Option keys of an opened URL, as the platform passes them.
inline constexpr const char* HBRApplicationOpenURLOptionsSourceApplicationKey =
    "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr const char* HBRApplicationOpenURLOptionsAnnotationKey =
    "UIApplicationOpenURLOptionsAnnotationKey";

// The application's delegate: puts the host view controller into a window on the main
// screen, and turns URLs the application is opened with into the open-URL notifications
// that plugins observe.
class HBRAppDelegate : public platform::ui::ApplicationDelegate {
 public:
  // Makes the window, and a plain host controller unless a subclass set one before.
  bool didFinishLaunchingWithOptions(const platform::Value& options) override;
  // Posts "HBRPluginHandleOpenURLNotification" (object: the URL) and then
  // "HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification" (object: {"url",
  // "sourceApplication", "annotation"}); false, posting nothing, without a URL.
  bool openURL(const std::optional<platform::URL>& url, const platform::Value& options) override;
  // Every orientation but none at all (mask 30).
  unsigned supportedInterfaceOrientationsForWindow(platform::ui::Window*) override { return 30; }

  std::shared_ptr<platform::ui::Window> window() const { return window_; }
  void setWindow(std::shared_ptr<platform::ui::Window> window) { window_ = std::move(window); }
  std::shared_ptr<HBRViewController> viewController() const { return viewController_; }
  void setViewController(std::shared_ptr<HBRViewController> controller) {
    viewController_ = std::move(controller);
  }

 private:
  std::shared_ptr<platform::ui::Window> window_;
  std::shared_ptr<HBRViewController> viewController_;
};

// Registers the host's classes by name: the web view engine "HBRWebViewEngine" and the
// host's plugin classes. Registering again is harmless; a class already registered under
// a name is replaced.
void HBRRegisterHostClasses();
