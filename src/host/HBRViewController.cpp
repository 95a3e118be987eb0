#include "host/HBRViewController.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRConfigParser.h"
#include "host/HBRPlugin.h"
#include "host/HBRSettings.h"
#include "host/HBRTimer.h"
#include "host/HBRWebViewEngine.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PackageFiles.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/XMLParser.h"
#include "platform/net/URLRequest.h"
#include "platform/ui/Application.h"
#include "platform/webkit/WebView.h"

using platform::Value;

namespace {

constexpr double kStartPageTimeout = 20.0;
// A fade is drawn in steps of about one display frame.
constexpr double kFadeStepSeconds = 1.0 / 60.0;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Initialisation and release

void HBRViewController::commonInit() {
  if (initialized_) return;
  auto self = std::static_pointer_cast<HBRViewController>(shared_from_this());
  // The delegate takes the queue from the controller, so the queue comes first.
  commandQueue_ = std::make_shared<HBRCommandQueue>(self);
  commandDelegate_ = std::make_shared<HBRCommandDelegateImpl>(self);

  // Observers hold the controller weakly: a notification posted while it is being released
  // must find nothing to call.
  std::weak_ptr<HBRViewController> weakSelf = self;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto observe = [&](const char* name, void (HBRViewController::*handler)()) {
    center.addObserver(this, name, nullptr, [weakSelf, handler](const platform::Notification&) {
      if (auto vc = weakSelf.lock()) ((*vc).*handler)();
    });
  };
  observe(platform::ui::kApplicationWillTerminateNotification,
          &HBRViewController::onAppWillTerminate);
  observe(platform::ui::kApplicationWillResignActiveNotification,
          &HBRViewController::onAppWillResignActive);
  observe(platform::ui::kApplicationDidBecomeActiveNotification,
          &HBRViewController::onAppDidBecomeActive);
  observe(platform::ui::kApplicationWillEnterForegroundNotification,
          &HBRViewController::onAppWillEnterForeground);
  observe(platform::ui::kApplicationDidEnterBackgroundNotification,
          &HBRViewController::onAppDidEnterBackground);
  observe(HBRPageDidLoadNotification, &HBRViewController::onWebViewPageDidLoad);
  // The platform hands memory warnings to view controllers itself; here they arrive as the
  // application's notification.
  observe(platform::ui::kApplicationDidReceiveMemoryWarningNotification,
          &HBRViewController::didReceiveMemoryWarning);

  supportedOrientations_ = parseInterfaceOrientations(
      platform::Bundle::main().objectForInfoDictionaryKey("UISupportedInterfaceOrientations"));

  printVersion();
  printPlatformVersionWarning();
  printMultitaskingInfo();
  initialized_ = true;
}

HBRViewController::~HBRViewController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
  if (splashTimer_) splashTimer_->invalidate();
  if (fadeTimer_) fadeTimer_->invalidate();
  if (commandQueue_) commandQueue_->dispose();
  for (auto& [name, object] : pluginObjects_) {
    if (auto plugin = std::dynamic_pointer_cast<HBRPlugin>(object)) plugin->dispose();
  }
  if (webViewEngine_) webViewEngine_->loadHTMLString("about:blank", std::nullopt);
  auto webView = this->webView();
  pluginObjects_.clear();
  if (webView) webView->removeFromSuperview();
  webViewEngine_.reset();
}

void HBRViewController::printVersion() const {
  platform::log(platform::stringf("Harbor native platform version %s is starting.",
                                  platform::stringf("%d.%d.%d", 6, 2, 0).c_str()));
}

void HBRViewController::printPlatformVersionWarning() const {
  if (platform::compareNumericVersions(platform::ui::Device::systemVersion(), "8.0") < 0)
    platform::log(platform::stringf(
        "CRITICAL: For Harbor 4.0.0 and above, you will need to upgrade to at least iOS "
        "8.0 or greater. Your current version of iOS is %s.",
        platform::ui::Device::systemVersion()));
}

void HBRViewController::printMultitaskingInfo() const {
  bool device = platform::ui::Application::shared().isMultitaskingSupported();
  Value exits = platform::Bundle::main().objectForInfoDictionaryKey("UIApplicationExitsOnSuspend");
  bool exitsOnSuspend =
      (exits.is_boolean() && exits.get<bool>()) ||
      (exits.is_number() && exits.get<double>() != 0) ||
      (exits.is_string() && (platform::asciiLower(exits.get<std::string>()) == "true" ||
                             platform::asciiLower(exits.get<std::string>()) == "yes" ||
                             exits.get<std::string>() == "1"));
  platform::log(platform::stringf("Multi-tasking -> Device: %s, App: %s", device ? "YES" : "NO",
                                  exitsOnSuspend ? "NO" : "YES"));
}

std::shared_ptr<HBRCommandDelegate> HBRViewController::commandDelegate() const {
  return commandDelegate_;
}

std::shared_ptr<platform::webkit::WebView> HBRViewController::webView() const {
  return webViewEngine_ ? webViewEngine_->engineWebView() : nullptr;
}

std::optional<platform::URL> HBRViewController::openURL() const {
  std::lock_guard<std::mutex> lock(openURLMutex_);
  return openURL_;
}

void HBRViewController::setOpenURL(std::optional<platform::URL> url) {
  std::lock_guard<std::mutex> lock(openURLMutex_);
  openURL_ = std::move(url);
}

// ---------------------------------------------------------------------------------------------
// Settings

std::optional<std::string> HBRViewController::configFilePath() const {
  std::string name = configFile_.value_or("config.xml");
  std::string path = platform::startsWith(name, "/")
                         ? name
                         : platform::Bundle::main().pathForResource(name, "").value_or("");
  if (path.empty() || !platform::fs::exists(path)) return std::nullopt;
  return path;
}

bool HBRViewController::parseSettingsWithParser(platform::XMLParserDelegate& delegate) {
  auto path = configFilePath();
  std::unique_ptr<platform::XMLParser> parser =
      path ? platform::XMLParser::fromFile(*path) : nullptr;
  if (!parser) {
    platform::log("Failed to initialize XML parser.");
    return false;
  }
  parser->setDelegate(&delegate);
  parser->parse();
  return true;
}

void HBRViewController::loadSettings() {
  HBRConfigParser delegate;
  parseSettingsWithParser(delegate);
  pluginsMap_ = delegate.pluginsDict;
  startupPluginNames_ = delegate.startupPluginNames;
  settings_ = delegate.settings;
  if (wwwFolderName_.empty()) wwwFolderName_ = "www";
  if (startPage_.empty()) startPage_ = delegate.startPage.value_or("index.html");
  // Instances registered before the configuration was read are dropped.
  pluginObjects_.clear();
}

std::optional<platform::URL> HBRViewController::appUrl() const {
  if (platform::contains(startPage_, "://")) return platform::URL::parse(startPage_);
  if (platform::contains(wwwFolderName_, "://"))
    return platform::URL::parse(wwwFolderName_ + "/" + startPage_);
  if (platform::contains(wwwFolderName_, ".bundle") ||
      platform::contains(wwwFolderName_, ".framework")) {
    platform::Bundle bundle(
        platform::startsWith(wwwFolderName_, "/")
            ? wwwFolderName_
            : platform::fs::appendPath(platform::Bundle::main().bundlePath(), wwwFolderName_));
    auto path = bundle.pathForResource(startPage_, "");
    if (!path) return std::nullopt;
    return platform::URL::fileURL(*path);
  }
  auto fileURL = packagedFileURL(startPage_);
  if (!fileURL) return std::nullopt;
  // Keep the start page's query and fragment.
  size_t mark = startPage_.find_first_of("?#");
  if (mark != std::string::npos) return fileURL->resolve(startPage_.substr(mark));
  return fileURL;
}

std::optional<platform::URL> HBRViewController::packagedFileURL(const std::string& page) const {
  auto parsed = platform::URL::parse(page);
  if (!parsed || !commandDelegate_) return std::nullopt;
  auto path = commandDelegate_->pathForResource(parsed->path());
  if (!path) return std::nullopt;
  return platform::URL::fileURL(*path);
}

std::optional<platform::URL> HBRViewController::errorURL() const {
  auto text = harborStringSettingForKey(settings_, "ErrorUrl");
  if (!text) return std::nullopt;
  if (platform::contains(*text, "://")) return platform::URL::parse(*text);
  return packagedFileURL(*text);
}

std::optional<platform::URL> HBRViewController::errorPageURL(const std::string& message) const {
  auto error = errorURL();
  if (!error) return std::nullopt;
  // The message travels as one query value, so "&", "=" and "+" in it cannot break the query.
  return error->resolve("?error=" +
                        platform::percentEncode(message, platform::URLCharacterSet::QueryValueAllowed));
}

std::optional<std::string> HBRViewController::appURLScheme() {
  const Value& info = platform::Bundle::main().infoDictionary();
  auto types = info.find("CFBundleURLTypes");
  if (types == info.end() || !types->is_array() || types->empty()) return std::nullopt;
  const Value& first = (*types)[0];
  if (!first.is_object()) return std::nullopt;
  auto schemes = first.find("CFBundleURLSchemes");
  if (schemes == first.end() || !schemes->is_array() || schemes->empty() ||
      !(*schemes)[0].is_string())
    return std::nullopt;
  return (*schemes)[0].get<std::string>();
}

// ---------------------------------------------------------------------------------------------
// Plugin registry

std::vector<std::shared_ptr<HBRPlugin>> HBRViewController::pluginSnapshot() const {
  std::vector<std::pair<std::uint64_t, std::shared_ptr<HBRPlugin>>> ordered;
  ordered.reserve(pluginObjects_.size());
  for (const auto& [name, object] : pluginObjects_) {
    auto plugin = std::dynamic_pointer_cast<HBRPlugin>(object);
    if (!plugin) continue;
    auto registered = pluginRegistrations_.find(name);
    ordered.emplace_back(registered == pluginRegistrations_.end() ? 0 : registered->second, std::move(plugin));
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::shared_ptr<HBRPlugin>> plugins;
  plugins.reserve(ordered.size());
  for (auto& entry : ordered) plugins.push_back(std::move(entry.second));
  return plugins;
}

void HBRViewController::registerPlugin(const std::shared_ptr<platform::Object>& plugin,
                                       const std::string& className) {
  if (!plugin) return;
  if (auto hbrPlugin = std::dynamic_pointer_cast<HBRPlugin>(plugin)) {
    hbrPlugin->setViewController(std::static_pointer_cast<HBRViewController>(shared_from_this()));
    hbrPlugin->setCommandDelegate(commandDelegate_);
    pluginObjects_[className] = plugin;
    pluginRegistrations_[className] = ++registeredPlugins_;
    try {
      hbrPlugin->pluginInitialize();
    } catch (...) {
      // A half-made plugin must not stay registered, where later commands would find it.
      auto it = pluginObjects_.find(className);
      if (it != pluginObjects_.end() && it->second == plugin) pluginObjects_.erase(it);
      hbrPlugin->dispose();
      throw;
    }
  } else {
    pluginObjects_[className] = plugin;
    pluginRegistrations_[className] = ++registeredPlugins_;
  }
}

void HBRViewController::registerPluginWithPluginName(
    const std::shared_ptr<platform::Object>& plugin, const std::string& pluginName) {
  if (!plugin) return;
  std::string className = plugin->className();
  pluginsMap_[platform::asciiLower(pluginName)] = className;
  registerPlugin(plugin, className);
}

std::shared_ptr<platform::Object> HBRViewController::instantiatePlugin(
    const std::string& className) {
  auto factory = HBRPluginClassRegistry::shared().factory(className);
  if (!factory) return nullptr;
  auto object = factory();
  if (auto plugin = std::dynamic_pointer_cast<HBRPlugin>(object))
    plugin->initWithWebViewEngine(webViewEngine_);
  return object;
}

std::shared_ptr<platform::Object> HBRViewController::getCommandInstance(
    const std::string& pluginName) {
  auto mapped = pluginsMap_.find(platform::asciiLower(pluginName));
  if (mapped == pluginsMap_.end() || !mapped->is_string()) return nullptr;
  std::string className = mapped->get<std::string>();
  auto existing = pluginObjects_.find(className);
  if (existing != pluginObjects_.end()) return existing->second;

  auto object = instantiatePlugin(className);
  if (!object) {
    // A class known only under the executable's module name.
    Value executable = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleExecutable");
    if (executable.is_string())
      object = instantiatePlugin(executable.get<std::string>() + "." + className);
  }
  if (!object) {
    platform::log(platform::stringf("HBRPlugin class %s (pluginName: %s) does not exist.",
                                    className.c_str(), pluginName.c_str()));
    return nullptr;
  }
  registerPlugin(object, className);
  return object;
}

// ---------------------------------------------------------------------------------------------
// Start

void HBRViewController::viewDidLoad() {
  platform::ui::ViewController::viewDidLoad();
  loadSettings();

  // Web storage is always backed up the platform's way unless the configuration says otherwise.
  std::string backup = harborStringSettingForKey(settings_, "BackupWebStorage").value_or("cloud");
  setHarborSetting(settings_, backup, "BackupWebStorage");

  if (!launchView_) createLaunchView();
  if (!webView()) createBridgeView();

  if (!startupPluginNames_.empty()) {
    HBRTimer::start("TotalPluginStartup");
    // A copy: a plugin's initialisation may itself look plugins up.
    std::vector<std::string> names = startupPluginNames_;
    for (const std::string& name : names) {
      HBRTimer::start(name);
      // One plugin that fails to start must not keep the others, or the page, from starting.
      try {
        getCommandInstance(name);
      } catch (const std::exception& e) {
        platform::log(platform::stringf("ERROR: Plugin '%s' failed to start: %s", name.c_str(), e.what()));
      } catch (...) {
        platform::log(platform::stringf("ERROR: Plugin '%s' failed to start.", name.c_str()));
      }
      HBRTimer::stop(name);
    }
    HBRTimer::stop("TotalPluginStartup");
  }

  loadStartPage();

  // The package's asset catalogue has no counterpart here, so the default colour applies.
  platform::ui::Color background = platform::ui::Color::white();
  if (launchView_) launchView_->setBackgroundColor(background);
  if (auto web = webView()) web->setBackgroundColor(background);
}

void HBRViewController::loadStartPage() {
  if (!webViewEngine_) {
    platform::log("ERROR: There is no web view engine to load the start page into.");
    return;
  }
  if (refusesPackageForLinks()) return;
  if (auto url = appUrl()) {
    webViewEngine_->loadRequest(platform::URLRequest(
        *url, platform::URLRequestCachePolicy::UseProtocolCachePolicy, kStartPageTimeout));
    return;
  }
  std::string message = platform::stringf("ERROR: Start Page at '%s/%s' was not found.",
                                          wwwFolderName_.c_str(), startPage_.c_str());
  platform::log(message);
  if (auto target = errorPageURL(message)) {
    platform::log(target->absoluteString());
    webViewEngine_->loadRequest(platform::URLRequest(*target));
    return;
  }
  webViewEngine_->loadHTMLString(
      platform::stringf("<html><body> %s </body></html>", message.c_str()), std::nullopt);
}

bool HBRViewController::refusesPackageForLinks() {
  if (refusedForLinks_) return *refusedForLinks_;
  refusedForLinks_ = false;
  // In file-scheme mode (no application scheme) the web view reads the package's files itself
  // and follows every link among them; nothing on its way can refuse one that leads out of the
  // package, into another application's data root or anywhere else. Such a package is refused
  // before anything of it loads; under an application scheme each such file is refused alone.
  if (appScheme_) return false;
  std::vector<std::string> links = platform::package::linksLeadingOut();
  if (links.empty()) return false;
  refusedForLinks_ = true;
  std::string package = platform::Bundle::main().bundlePath();
  for (const std::string& link : links)
    platform::log(platform::package::refusal(platform::fs::appendPath(package, link)));
  std::string message = platform::stringf(
      "ERROR: The package at '%s' is not shown from file URLs: %zu link(s) in it lead out of it, and the web "
      "view would follow them. Remove them, or serve the package under an application scheme (the \"scheme\" "
      "preference), which refuses such files one by one.",
      package.c_str(), links.size());
  platform::log(message);
  webViewEngine_->loadHTMLString(platform::stringf("<html><body> %s </body></html>", message.c_str()), std::nullopt);
  // Told from the main loop, where whoever runs the shell can end it.
  platform::MainLoop::post([package] {
    platform::NotificationCenter::defaultCenter().post(HBRStartPageRefusedNotification, nullptr, package);
  });
  return true;
}

void HBRViewController::createLaunchView() {
  auto root = view();
  launchView_ = std::make_shared<platform::ui::View>(root->bounds());
  launchView_->setAlpha(0.0);
  launchView_->setAutoresizingMask(platform::ui::kAutoresizingFlexibleWidth |
                                   platform::ui::kAutoresizingFlexibleHeight);
  Value storyboard = platform::Bundle::main().objectForInfoDictionaryKey("UILaunchStoryboardName");
  if (storyboard.is_string())
    platform::log(platform::stringf(
        "The launch storyboard \"%s\" has no effect here; the launch view stays plain.",
        storyboard.get<std::string>().c_str()));
  root->addSubview(launchView_);
}

void HBRViewController::createBridgeView() {
  auto root = view();
  auto web = newHarborViewWithFrame(root->bounds());
  if (!web) return;
  web->setHidden(true);
  web->setAutoresizingMask(platform::ui::kAutoresizingFlexibleWidth |
                           platform::ui::kAutoresizingFlexibleHeight);
  root->addSubview(web);
  root->sendSubviewToBack(web);
}

std::shared_ptr<platform::Object> HBRViewController::instantiateEngine(const std::string& className,
                                                                       platform::ui::Rect frame) {
  auto factory = HBRWebViewEngineClassRegistry::shared().factory(className);
  if (!factory) return nullptr;
  // An engine class that fails to build counts as one that does not exist.
  try {
    return factory(frame);
  } catch (const std::exception& e) {
    platform::log(platform::stringf("The web view engine %s could not be made: %s",
                                    className.c_str(), e.what()));
  } catch (...) {
    platform::log(
        platform::stringf("The web view engine %s could not be made.", className.c_str()));
  }
  return nullptr;
}

std::shared_ptr<platform::webkit::WebView> HBRViewController::newHarborViewWithFrame(
    platform::ui::Rect frame) {
  std::string defaultName = harborStringSettingForKey(settings_, "HarborDefaultWebViewEngine")
                                .value_or("HBRWebViewEngine");
  std::string wantedName =
      harborStringSettingForKey(settings_, "HarborWebViewEngine").value_or(defaultName);

  auto start = appUrl();
  auto usable = [&](const std::shared_ptr<platform::Object>& object)
      -> std::shared_ptr<HBRWebViewEngineProtocol> {
    auto engine = std::dynamic_pointer_cast<HBRWebViewEngineProtocol>(object);
    if (!engine) return nullptr;
    if (start && !engine->canLoadRequest(platform::URLRequest(*start))) return nullptr;
    return engine;
  };

  auto object = instantiateEngine(wantedName, frame);
  auto engine = usable(object);
  if (!engine) {
    object = instantiateEngine(defaultName, frame);
    engine = std::dynamic_pointer_cast<HBRWebViewEngineProtocol>(object);
  }
  if (!engine) {
    platform::log(
        platform::stringf("ERROR: No web view engine could be made (wanted %s, default %s).",
                          wantedName.c_str(), defaultName.c_str()));
    return nullptr;
  }
  webViewEngine_ = engine;
  // Registered under the wanted name even when the default class stands in for it, so that
  // plugins looking for the configured engine find the one that runs.
  if (std::dynamic_pointer_cast<HBRPlugin>(object)) registerPlugin(object, wantedName);
  return engine->engineWebView();
}

// ---------------------------------------------------------------------------------------------
// View notifications

void HBRViewController::viewWillAppear(bool animated) {
  platform::ui::ViewController::viewWillAppear(animated);
  platform::NotificationCenter::defaultCenter().post(HBRViewWillAppearNotification);
}

void HBRViewController::viewDidAppear(bool animated) {
  platform::ui::ViewController::viewDidAppear(animated);
  platform::NotificationCenter::defaultCenter().post(HBRViewDidAppearNotification);
}

void HBRViewController::viewWillDisappear(bool animated) {
  platform::ui::ViewController::viewWillDisappear(animated);
  platform::NotificationCenter::defaultCenter().post(HBRViewWillDisappearNotification);
}

void HBRViewController::viewDidDisappear(bool animated) {
  platform::ui::ViewController::viewDidDisappear(animated);
  platform::NotificationCenter::defaultCenter().post(HBRViewDidDisappearNotification);
}

void HBRViewController::viewWillLayoutSubviews() {
  platform::ui::ViewController::viewWillLayoutSubviews();
  platform::NotificationCenter::defaultCenter().post(HBRViewWillLayoutSubviewsNotification);
}

void HBRViewController::viewDidLayoutSubviews() {
  platform::ui::ViewController::viewDidLayoutSubviews();
  platform::NotificationCenter::defaultCenter().post(HBRViewDidLayoutSubviewsNotification);
}

void HBRViewController::viewWillTransitionToSize(platform::ui::Size size) {
  platform::ui::ViewController::viewWillTransitionToSize(size);
  platform::NotificationCenter::defaultCenter().post(
      HBRViewWillTransitionToSizeNotification, nullptr,
      Value{{"width", size.width}, {"height", size.height}});
}

// ---------------------------------------------------------------------------------------------
// Life cycle

bool HBRViewController::isUrlEmpty(const std::optional<platform::URL>& url) {
  return !url || url->absoluteString().empty() || url->absoluteString() == "about:blank";
}

bool HBRViewController::checkAndReinitViewUrl() {
  if (!webViewEngine_ || !isUrlEmpty(webViewEngine_->URL()) || refusedForLinks_.value_or(false)) return false;
  auto url = appUrl();
  if (!url) return false;
  webViewEngine_->loadRequest(platform::URLRequest(
      *url, platform::URLRequestCachePolicy::UseProtocolCachePolicy, kStartPageTimeout));
  return true;
}

void HBRViewController::fireDocumentEvent(const std::string& js, bool scheduledOnRunLoop) {
  checkAndReinitViewUrl();
  if (commandDelegate_) commandDelegate_->evalJs(js, scheduledOnRunLoop);
}

// Resign and pause are evaluated at once: the application may be suspended before a later
// turn of the run loop comes.
void HBRViewController::onAppWillResignActive() {
  fireDocumentEvent("harbor.fireDocumentEvent('resign');", false);
}

void HBRViewController::onAppWillEnterForeground() {
  // The pasteboard rewrite for systems below 11.0 never applies: the platform reports 13.0.
  fireDocumentEvent("harbor.fireDocumentEvent('resume');", true);
}

void HBRViewController::onAppDidBecomeActive() {
  fireDocumentEvent("harbor.fireDocumentEvent('active');", true);
}

void HBRViewController::onAppDidEnterBackground() {
  fireDocumentEvent("harbor.fireDocumentEvent('pause', null, true);", false);
}

void HBRViewController::onAppWillTerminate() {
  // Only the application's own temporary folder is emptied; it lives under the data root,
  // never in the system's shared one.
  std::string tmp = platform::fs::normalizePath(platform::paths::tmp());
  std::string systemTmp = platform::fs::normalizePath(g_get_tmp_dir());
  if (tmp == "/" || tmp == systemTmp || !platform::fs::isInside(tmp, platform::paths::dataRoot())) {
    platform::log("Not emptying " + tmp + ": it is not the application's own temporary folder.");
    return;
  }
  // Through descriptors: a tmp that is a link (planted by another program) is refused whole,
  // and nothing inside is followed.
  if (auto error = platform::fs::removeContentsOfDirectory(tmp))
    platform::log(platform::stringf("Failed to delete: %s (error: %s)", tmp.c_str(),
                                    error->localizedDescription().c_str()));
}

void HBRViewController::onWebViewPageDidLoad() {
  if (auto web = webView()) web->setHidden(false);
  if (!harborBoolSettingForKey(settings_, "AutoHideSplashScreen", true)) return;
  double delay = harborFloatSettingForKey(settings_, "SplashScreenDelay", 0);
  if (delay == 0) {
    showLaunchScreen(false);
    return;
  }
  if (splashTimer_) splashTimer_->invalidate();
  std::weak_ptr<HBRViewController> weakSelf =
      std::static_pointer_cast<HBRViewController>(shared_from_this());
  splashTimer_ = platform::Timer::schedule(std::max(delay, 0.0) / 1000.0, false, [weakSelf] {
    if (auto vc = weakSelf.lock()) vc->showLaunchScreen(false);
  });
}

double HBRViewController::launchFadeDuration() const {
  return std::max(harborFloatSettingForKey(settings_, "FadeSplashScreenDuration", 250), 250.0) /
         1000.0;
}

void HBRViewController::showLaunchScreen(bool visible) {
  if (!launchView_) return;
  if (fadeTimer_) fadeTimer_->invalidate();
  double from = launchView_->alpha();
  double to = visible ? 1.0 : 0.0;
  double duration = launchFadeDuration();
  if (!(duration > 0) || !std::isfinite(duration)) {
    launchView_->setAlpha(to);
    return;
  }
  double started = platform::monotonicSeconds();
  std::weak_ptr<platform::ui::View> weakView = launchView_;
  // The alpha follows the elapsed time, not the number of steps, so a busy main loop
  // shortens nothing and lengthens the fade only by its own delay.
  auto timer = std::make_shared<std::shared_ptr<platform::Timer>>();
  *timer = platform::Timer::schedule(
      kFadeStepSeconds, true, [weakView, from, to, duration, started, timer] {
        auto view = weakView.lock();
        double progress = std::min((platform::monotonicSeconds() - started) / duration, 1.0);
        if (view) view->setAlpha(from + (to - from) * progress);
        if (!view || progress >= 1.0) {
          if (*timer) (*timer)->invalidate();
          timer->reset();
        }
      });
  fadeTimer_ = *timer;
}

void HBRViewController::didReceiveMemoryWarning() {
  bool delayed = false;
  for (const auto& [name, object] : pluginObjects_) {
    auto plugin = std::dynamic_pointer_cast<HBRPlugin>(object);
    if (!plugin || !plugin->hasPendingOperation()) continue;
    platform::log(platform::stringf(
        "Plugin '%s' has a pending operation, memory purge is delayed for didReceiveMemoryWarning.",
        plugin->className().c_str()));
    delayed = true;
  }
  if (!delayed) purgeMemory();
}

// ---------------------------------------------------------------------------------------------
// Orientation and colours

bool HBRViewController::supportsOrientation(int orientation) const {
  return std::find(supportedOrientations_.begin(), supportedOrientations_.end(), orientation) !=
         supportedOrientations_.end();
}

unsigned HBRViewController::supportedInterfaceOrientations() const {
  return hbr_interfaceOrientationMask(supportedOrientations_);
}

std::optional<platform::ui::Color> HBRViewController::colorFromColorString(
    const std::string& text) {
  static const std::optional<platform::Regex> pattern =
      platform::Regex::make("^(#[0-9A-F]{3}|(0x|#)([0-9A-F]{2})?[0-9A-F]{6})$", true);
  // "$" also matches before a final line break, which is no part of a colour.
  if (!pattern || text.find('\n') != std::string::npos || !pattern->matches(text))
    return std::nullopt;
  std::string hex = text;
  if (hex.size() == 4) hex = std::string("#") + hex[1] + hex[1] + hex[2] + hex[2] + hex[3] + hex[3];
  std::string converted;
  for (char c : hex) {
    if (c == '#')
      converted += "0x";
    else
      converted += c;
  }
  if (converted.size() == 8) converted = "0xFF" + converted.substr(2);
  char* end = nullptr;
  unsigned long value = std::strtoul(converted.c_str(), &end, 16);
  if (end == converted.c_str() || *end != '\0') return std::nullopt;
  return platform::ui::Color{((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0,
                             (value & 0xFF) / 255.0, ((value >> 24) & 0xFF) / 255.0};
}
