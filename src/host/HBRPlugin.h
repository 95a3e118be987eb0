#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/HBRInvokedUrlCommand.h"
#include "platform/foundation/ClassRegistry.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Object.h"
#include "platform/net/URLRequest.h"
#include "platform/webkit/WebView.h"

class HBRCommandDelegate;
class HBRViewController;
class HBRWebViewEngineProtocol;
namespace platform::webkit {
class URLSchemeTask;
class WebView;
}

// Names of the notifications plugins observe.
inline constexpr const char* HBRPluginHandleOpenURLNotification = "HBRPluginHandleOpenURLNotification";
inline constexpr const char* HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification =
    "HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification";
inline constexpr const char* HBRPluginResetNotification = "HBRPluginResetNotification";
inline constexpr const char* HBRPageDidLoadNotification = "HBRPageDidLoadNotification";

// The base of every plugin. JavaScript reaches a plugin through its action table: each action
// is a member function taking the command, registered under the action's name.
class HBRPlugin : public platform::Object {
 public:
  using Action = std::function<void(const HBRInvokedUrlCommand&)>;

  HBRPlugin() = default;
  ~HBRPlugin() override;
  HBRPlugin(const HBRPlugin&) = delete;
  HBRPlugin& operator=(const HBRPlugin&) = delete;

  // Stores the engine and starts observing the application events plugins care about.
  // The registry calls it right after creating the plugin.
  virtual void initWithWebViewEngine(const std::shared_ptr<HBRWebViewEngineProtocol>& engine);
  // Runs once the view controller and the command delegate are set.
  virtual void pluginInitialize() {}
  virtual void dispose();

  virtual void handleOpenURL(const platform::Notification&) {}
  virtual void handleOpenURLWithApplicationSourceAndAnnotation(const platform::Notification&) {}
  virtual void onAppTerminate() {}
  virtual void onMemoryWarning() {}
  virtual void onReset() {}

  // Optional hooks, asked by the engine and the scheme handler. nullopt means the plugin
  // does not take part.
  virtual std::optional<bool> shouldOverrideLoadWithRequest(const platform::URLRequest&, int /*navigationType*/) {
    return std::nullopt;
  }
  // Where the engine asks this plugin about a navigation: plugins of a lower rank first, those
  // of one rank in the order they were registered. A plugin that acts on a navigation that
  // others would refuse (sending it out of the application) ranks below the default, since the
  // first refusal ends the poll.
  static constexpr int kNavigationRankDefault = 0;
  virtual int navigationRank() const { return kNavigationRankDefault; }
  // The same question with all the web view told about the navigation (whether the user
  // started it, which frame it targets). The engine asks this one; by default it is the
  // question above.
  virtual std::optional<bool> shouldOverrideLoad(const platform::webkit::NavigationAction& action) {
    return shouldOverrideLoadWithRequest(action.request, static_cast<int>(action.navigationType));
  }
  // Asked by the packaged-files scheme handler before it answers a request itself: true
  // means the plugin has taken the task over and will answer it.
  virtual std::optional<bool> overrideSchemeTask(const std::shared_ptr<platform::webkit::URLSchemeTask>&) {
    return std::nullopt;
  }
  // The web view stopped a task this plugin took over; false when the plugin does not handle stops.
  virtual bool stopSchemeTask(const std::shared_ptr<platform::webkit::URLSchemeTask>&) { return false; }

  // Actions.
  // Runs the action; false when the plugin has none of that name.
  bool performAction(const std::string& name, const HBRInvokedUrlCommand& command);

  // Links. The plugin owns none of them.
  std::shared_ptr<HBRWebViewEngineProtocol> webViewEngine() const { return webViewEngine_.lock(); }
  void setWebViewEngine(const std::shared_ptr<HBRWebViewEngineProtocol>& engine) { webViewEngine_ = engine; }
  std::shared_ptr<HBRViewController> viewController() const { return viewController_.lock(); }
  void setViewController(const std::shared_ptr<HBRViewController>& vc) { viewController_ = vc; }
  std::shared_ptr<HBRCommandDelegate> commandDelegate() const { return commandDelegate_.lock(); }
  void setCommandDelegate(const std::shared_ptr<HBRCommandDelegate>& delegate) { commandDelegate_ = delegate; }
  std::shared_ptr<platform::webkit::WebView> webView() const;

  bool hasPendingOperation() const { return hasPendingOperation_; }
  void setHasPendingOperation(bool value) { hasPendingOperation_ = value; }

  // The localised string for `key` from "<ClassName>.bundle" in the application package.
  std::string pluginLocalizedString(const std::string& key) const;
  // The path of "<ClassName>.bundle/<name>" in the package, when it exists.
  std::optional<std::string> pluginImageResource(const std::string& name) const;

 protected:
  void registerAction(const std::string& name, Action action) { actions_[name] = std::move(action); }
  template <typename T>
  void registerAction(const std::string& name, void (T::*method)(const HBRInvokedUrlCommand&)) {
    T* self = static_cast<T*>(this);
    actions_[name] = [self, method](const HBRInvokedUrlCommand& command) { (self->*method)(command); };
  }

 private:
  std::map<std::string, Action> actions_;
  std::weak_ptr<HBRWebViewEngineProtocol> webViewEngine_;
  std::weak_ptr<HBRViewController> viewController_;
  std::weak_ptr<HBRCommandDelegate> commandDelegate_;
  std::atomic<bool> hasPendingOperation_{false};
};

// Plugin classes by name. Each factory makes a plain instance; the registry of the view
// controller initialises it. A class that is not an HBRPlugin can be registered (the command
// queue refuses it), as configuration may name anything.
using HBRPluginClassRegistry = platform::ClassRegistry<std::shared_ptr<platform::Object>()>;

template <typename T>
void HBRRegisterPluginClass(const std::string& className) {
  HBRPluginClassRegistry::shared().registerClass(className, [] { return std::make_shared<T>(); });
}

// The same for the shell's built-in classes, which give way to a class the program registered
// under the same name first.
template <typename T>
void HBRRegisterBuiltInPluginClass(const std::string& className) {
  HBRPluginClassRegistry::shared().registerClassIfAbsent(className, [] { return std::make_shared<T>(); });
}
