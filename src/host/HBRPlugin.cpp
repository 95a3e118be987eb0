#include "host/HBRPlugin.h"

#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/ui/Application.h"

HBRPlugin::~HBRPlugin() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void HBRPlugin::initWithWebViewEngine(const std::shared_ptr<HBRWebViewEngineProtocol>& engine) {
  auto& center = platform::NotificationCenter::defaultCenter();
  // Observers die with the plugin (the destructor removes them), so `this` stays valid.
  center.addObserver(this, platform::ui::kApplicationWillTerminateNotification, nullptr,
                     [this](const platform::Notification&) { onAppTerminate(); });
  center.addObserver(this, platform::ui::kApplicationDidReceiveMemoryWarningNotification, nullptr,
                     [this](const platform::Notification&) { onMemoryWarning(); });
  center.addObserver(this, HBRPluginHandleOpenURLNotification, nullptr,
                     [this](const platform::Notification& n) { handleOpenURL(n); });
  center.addObserver(this, HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification, nullptr,
                     [this](const platform::Notification& n) { handleOpenURLWithApplicationSourceAndAnnotation(n); });
  // Only resets of our own engine's web view concern us (with no web view, any sender).
  auto webView = engine ? engine->engineWebView() : nullptr;
  center.addObserver(this, HBRPluginResetNotification, webView.get(),
                     [this](const platform::Notification&) { onReset(); });
  webViewEngine_ = engine;
}

void HBRPlugin::dispose() {
  viewController_.reset();
  commandDelegate_.reset();
}

bool HBRPlugin::performAction(const std::string& name, const HBRInvokedUrlCommand& command) {
  auto it = actions_.find(name);
  if (it == actions_.end()) return false;
  it->second(command);
  return true;
}

std::shared_ptr<platform::webkit::WebView> HBRPlugin::webView() const {
  auto engine = webViewEngine();
  return engine ? engine->engineWebView() : nullptr;
}

std::string HBRPlugin::pluginLocalizedString(const std::string& key) const {
  auto path = platform::Bundle::main().pathForResource(className(), "bundle");
  if (!path) return key;
  return platform::Bundle(*path).localizedString(key, "");
}

std::optional<std::string> HBRPlugin::pluginImageResource(const std::string& name) const {
  return platform::Bundle::main().pathForResource(name, "", className() + ".bundle");
}
