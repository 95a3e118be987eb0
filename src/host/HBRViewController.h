#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRScreenOrientationDelegate.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/ViewController.h"

class HBRCommandDelegate;
class HBRCommandDelegateImpl;
class HBRCommandQueue;
class HBRConfigParser;
class HBRPlugin;
class HBRWebViewEngineProtocol;
namespace platform {
class Timer;
class XMLParserDelegate;
}  // namespace platform
namespace platform::webkit {
class WebView;
}

// View notifications, posted after the base class ran, with no object (the transition
// carries the new size as {"width", "height"}).
inline constexpr const char* HBRViewWillAppearNotification = "HBRViewWillAppearNotification";
inline constexpr const char* HBRViewDidAppearNotification = "HBRViewDidAppearNotification";
inline constexpr const char* HBRViewWillDisappearNotification = "HBRViewWillDisappearNotification";
inline constexpr const char* HBRViewDidDisappearNotification = "HBRViewDidDisappearNotification";
inline constexpr const char* HBRViewWillLayoutSubviewsNotification =
    "HBRViewWillLayoutSubviewsNotification";
inline constexpr const char* HBRViewDidLayoutSubviewsNotification =
    "HBRViewDidLayoutSubviewsNotification";
inline constexpr const char* HBRViewWillTransitionToSizeNotification =
    "HBRViewWillTransitionToSizeNotification";

// The view controller that hosts the web application: it reads "config.xml", owns the web
// view engine and the plugin instances, and is the plugin registry that the command queue
// and every plugin reach through the command delegate. It turns application life-cycle
// events into JavaScript document events and keeps a launch view over the web view until
// the first page has loaded. Main thread only.
class HBRViewController : public platform::ui::ViewController, public HBRScreenOrientationDelegate {
 public:
  // Makes a controller of class T and runs the common initialisation on it.
  template <typename T = HBRViewController, typename... Args>
  static std::shared_ptr<T> create(Args&&... args) {
    auto vc = std::make_shared<T>(std::forward<Args>(args)...);
    vc->commonInit();
    return vc;
  }

  HBRViewController() = default;
  // Stops observing, disposes the queue and every plugin, blanks and detaches the web view.
  ~HBRViewController() override;
  std::string className() const override { return "HBRViewController"; }

  // Settings and configuration.
  void loadSettings();
  // Runs an XML parser over the configuration file with `delegate`; false (with the log line
  // "Failed to initialize XML parser.") when the file is missing or unreadable.
  bool parseSettingsWithParser(platform::XMLParserDelegate& delegate);
  std::optional<std::string> configFilePath() const;
  const platform::Value& settings() const { return settings_; }
  platform::Value& mutableSettings() { return settings_; }
  const std::string& wwwFolderName() const { return wwwFolderName_; }
  void setWwwFolderName(std::string name) { wwwFolderName_ = std::move(name); }
  const std::string& startPage() const { return startPage_; }
  void setStartPage(std::string page) { startPage_ = std::move(page); }
  const std::optional<std::string>& configFile() const { return configFile_; }
  void setConfigFile(std::optional<std::string> file) { configFile_ = std::move(file); }
  const std::optional<std::string>& appScheme() const { return appScheme_; }
  void setAppScheme(std::optional<std::string> scheme) { appScheme_ = std::move(scheme); }
  std::optional<platform::URL> appUrl() const;
  std::optional<platform::URL> errorURL() const;
  // The error URL with `message` as its "error" query value, or nullopt without an error URL.
  std::optional<platform::URL> errorPageURL(const std::string& message) const;
  // The first URL scheme the package's Info.plist declares.
  static std::optional<std::string> appURLScheme();

  // Plugin registry.
  std::shared_ptr<platform::Object> getCommandInstance(const std::string& pluginName);
  void registerPlugin(const std::shared_ptr<platform::Object>& plugin,
                      const std::string& className);
  void registerPluginWithPluginName(const std::shared_ptr<platform::Object>& plugin,
                                    const std::string& pluginName);
  // Plugin instances by the class name they were registered under (sorted by that name).
  const std::map<std::string, std::shared_ptr<platform::Object>>& pluginObjects() const {
    return pluginObjects_;
  }
  // The registered plugins in the order they were registered (the start-up plugins in the
  // order of "config.xml", then the others as they were first used), as a snapshot: a plugin
  // asked something while the caller walks the list may register others.
  std::vector<std::shared_ptr<HBRPlugin>> pluginSnapshot() const;
  const platform::Value& pluginsMap() const { return pluginsMap_; }
  const std::vector<std::string>& startupPluginNames() const { return startupPluginNames_; }

  std::shared_ptr<HBRWebViewEngineProtocol> webViewEngine() const { return webViewEngine_; }
  void setWebViewEngine(std::shared_ptr<HBRWebViewEngineProtocol> engine) {
    webViewEngine_ = std::move(engine);
  }
  std::shared_ptr<HBRCommandDelegate> commandDelegate() const;
  std::shared_ptr<HBRCommandQueue> commandQueue() const { return commandQueue_; }
  // The engine's web view; nullptr without an engine.
  std::shared_ptr<platform::webkit::WebView> webView() const;

  bool initialized() const { return initialized_; }

  // Views and their life cycle. Each life-cycle method runs the base, then posts its notification.
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  void viewWillLayoutSubviews() override;
  void viewDidLayoutSubviews() override;
  void viewWillTransitionToSize(platform::ui::Size size) override;
  std::shared_ptr<platform::ui::View> launchView() const { return launchView_; }
  void setLaunchView(std::shared_ptr<platform::ui::View> view) { launchView_ = std::move(view); }
  // Makes the engine named by the settings and answers its web view (nullptr when no engine
  // class could be made).
  std::shared_ptr<platform::webkit::WebView> newHarborViewWithFrame(platform::ui::Rect frame);
  void createLaunchView();
  void createBridgeView();

  // The launch view: fades to visible or invisible over `launchFadeDuration()` seconds.
  void showLaunchScreen(bool visible);
  // max("FadeSplashScreenDuration", 250) milliseconds, in seconds.
  double launchFadeDuration() const;

  // Life-cycle handlers, observed from the application's notifications.
  void onAppWillResignActive();
  void onAppWillEnterForeground();
  void onAppDidBecomeActive();
  void onAppDidEnterBackground();
  void onAppWillTerminate();
  void onWebViewPageDidLoad();
  // Reloads the start page into a web view that lost its page; true when it did.
  bool checkAndReinitViewUrl();
  static bool isUrlEmpty(const std::optional<platform::URL>& url);

  // Holds back the memory purge while a plugin has a pending operation.
  void didReceiveMemoryWarning() override;

  // Orientation.
  const std::vector<int>& supportedOrientations() const { return supportedOrientations_; }
  void setSupportedOrientations(std::vector<int> orientations) {
    supportedOrientations_ = std::move(orientations);
  }
  static std::vector<int> parseInterfaceOrientations(const platform::Value& names) {
    return hbr_parseInterfaceOrientations(names);
  }
  bool supportsOrientation(int orientation) const;
  bool shouldAutorotate() const override { return true; }
  unsigned supportedInterfaceOrientations() const override;

  // "#RGB", "#RRGGBB", "#AARRGGBB", "0xRRGGBB" or "0xAARRGGBB" (any case); nullopt otherwise.
  static std::optional<platform::ui::Color> colorFromColorString(const std::string& text);

  // A URL the application was opened with; kept for plugins, the host neither sets nor reads it.
  std::optional<platform::URL> openURL() const;
  void setOpenURL(std::optional<platform::URL> url);

  void printVersion() const;
  void printPlatformVersionWarning() const;
  void printMultitaskingInfo() const;

 protected:
  // Queue, delegate and observers; runs once.
  virtual void commonInit();
  // What the platform does with a memory warning once no plugin holds it back.
  virtual void purgeMemory() { platform::ui::ViewController::didReceiveMemoryWarning(); }

  std::shared_ptr<HBRWebViewEngineProtocol> webViewEngine_;
  std::shared_ptr<HBRCommandQueue> commandQueue_;
  std::shared_ptr<HBRCommandDelegateImpl> commandDelegate_;
  std::map<std::string, std::shared_ptr<platform::Object>> pluginObjects_;
  // When each plugin was registered (a count), for `pluginSnapshot`'s order.
  std::map<std::string, std::uint64_t> pluginRegistrations_;
  std::uint64_t registeredPlugins_ = 0;
  platform::Value pluginsMap_ = platform::Value::object();
  std::vector<std::string> startupPluginNames_;
  platform::Value settings_ = platform::Value::object();
  std::string wwwFolderName_;
  std::string startPage_;
  std::optional<std::string> configFile_;
  std::optional<std::string> appScheme_;
  bool initialized_ = false;
  std::vector<int> supportedOrientations_{HBRInterfaceOrientationPortrait};
  std::shared_ptr<platform::ui::View> launchView_;

 private:
  // The file URL of a page of the web folder (its path only), or nullopt when it is missing.
  std::optional<platform::URL> packagedFileURL(const std::string& page) const;
  std::shared_ptr<platform::Object> instantiatePlugin(const std::string& className);
  std::shared_ptr<platform::Object> instantiateEngine(const std::string& className,
                                                      platform::ui::Rect frame);
  void loadStartPage();
  // In file-scheme mode, whether the package is refused for links that lead out of it (logged,
  // with the refusal shown in place of the start page). Decided once, at the first start.
  bool refusesPackageForLinks();
  void fireDocumentEvent(const std::string& js, bool scheduledOnRunLoop);

  std::shared_ptr<platform::Timer> splashTimer_;
  std::shared_ptr<platform::Timer> fadeTimer_;
  mutable std::mutex openURLMutex_;
  std::optional<platform::URL> openURL_;
  std::optional<bool> refusedForLinks_;
};
