#include "host/HBRAppDelegate.h"

#include "host/HBRPlugin.h"
#include "host/plugins/HBRSmallHostPlugins.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngine.h"
#include "platform/foundation/NotificationCenter.h"

using platform::Value;

bool HBRAppDelegate::didFinishLaunchingWithOptions(const Value&) {
  window_ = std::make_shared<platform::ui::Window>(platform::ui::Screen::mainBounds());
  window_->setAutoresizesSubviews(true);
  if (!viewController_) viewController_ = HBRViewController::create();
  // Setting the root loads the controller's view, which starts the web application.
  window_->setRootViewController(viewController_);
  window_->makeKeyAndVisible();
  return true;
}

bool HBRAppDelegate::openURL(const std::optional<platform::URL>& url, const Value& options) {
  if (!url) return false;
  Value info = Value::object();
  info["url"] = url->absoluteString();
  if (options.is_object()) {
    if (auto it = options.find(HBRApplicationOpenURLOptionsSourceApplicationKey);
        it != options.end() && !it->is_null())
      info["sourceApplication"] = *it;
    if (auto it = options.find(HBRApplicationOpenURLOptionsAnnotationKey);
        it != options.end() && !it->is_null())
      info["annotation"] = *it;
  }
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(HBRPluginHandleOpenURLNotification, nullptr, url->absoluteString());
  center.post(HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification, nullptr, info);
  return true;
}

void HBRRegisterHostClasses() {
  // A program may have registered its own engine under the default name first.
  HBRWebViewEngineClassRegistry::shared().registerClassIfAbsent(
      "HBRWebViewEngine", [](platform::ui::Rect frame) { return std::make_shared<HBRWebViewEngine>(frame); });
  HBRRegisterSmallHostPlugins();
}
