#include "host/HBRWebViewEngine.h"

#include <algorithm>

#include "host/HBRCommandDelegate.h"
#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRSettings.h"
#include "host/HBRURLProtocolSchemeHandler.h"
#include "host/HBRURLSchemeHandler.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewProcessPoolFactory.h"
#include "host/HBRWebViewUIDelegate.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLError.h"
#include "platform/foundation/Strings.h"
#include "platform/ui/Application.h"

using platform::Value;
using platform::webkit::WebView;

namespace {


void logNoEffect(const Value& settings, const char* key) {
  if (harborSettingForKey(settings, key))
    platform::log(
        platform::stringf("The preference \"%s\" has no effect with this web view.", key));
}

// A JavaScript single-quoted string literal of `text`.
std::string singleQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

// The URL text without its query and fragment: two loads of the same document compare equal.
std::string documentOf(const std::string& url) { return url.substr(0, url.find_first_of("?#")); }

}  // namespace

HBRWebViewEngine::HBRWebViewEngine(platform::ui::Rect frame) : frame_(frame) {
  registerAction("allowsBackForwardNavigationGestures",
                 &HBRWebViewEngine::allowsBackForwardNavigationGestures);
}

HBRWebViewEngine::~HBRWebViewEngine() {
  if (reloadTimer_) reloadTimer_->invalidate();
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

platform::webkit::WebViewConfiguration HBRWebViewEngine::createConfigurationFromSettings(
    const Value& settings) {
  platform::webkit::WebViewConfiguration configuration;
  configuration.processPool = HBRWebViewProcessPoolFactory::sharedFactory().sharedProcessPool();
  if (settings.is_null()) return configuration;

  // The web view applies it (media plays in the page, not in a player of its own).
  configuration.allowsInlineMediaPlayback =
      harborBoolSettingForKey(settings, "AllowInlineMediaPlayback", false);

  auto mediaTypes = harborStringSettingForKey(settings, "MediaTypesRequiringUserActionForPlayback");
  if (mediaTypes && *mediaTypes == "none") {
    configuration.mediaTypesRequiringUserActionForPlayback = platform::webkit::kMediaTypeNone;
  } else if (mediaTypes && *mediaTypes == "audio") {
    configuration.mediaTypesRequiringUserActionForPlayback = platform::webkit::kMediaTypeAudio;
  } else if (mediaTypes && *mediaTypes == "video") {
    configuration.mediaTypesRequiringUserActionForPlayback = platform::webkit::kMediaTypeVideo;
  } else if (mediaTypes && *mediaTypes == "all") {
    configuration.mediaTypesRequiringUserActionForPlayback = platform::webkit::kMediaTypeAll;
  } else {
    platform::log(
        "Invalid \"MediaTypesRequiringUserActionForPlayback\" was detected. Fallback to default "
        "value of \"all\" "
        "types.");
    configuration.mediaTypesRequiringUserActionForPlayback = platform::webkit::kMediaTypeAll;
  }

  configuration.suppressesIncrementalRendering =
      harborBoolSettingForKey(settings, "SuppressesIncrementalRendering", false);
  logNoEffect(settings, "SuppressesIncrementalRendering");

  bool airPlay = harborBoolSettingForKey(settings, "MediaPlaybackAllowsAirPlay", true);
  if (harborSettingForKey(settings, "AllowsAirPlayForMediaPlayback"))
    airPlay = harborBoolSettingForKey(settings, "AllowsAirPlayForMediaPlayback", true);
  configuration.allowsAirPlayForMediaPlayback = airPlay;
  logNoEffect(settings, "MediaPlaybackAllowsAirPlay");
  logNoEffect(settings, "AllowsAirPlayForMediaPlayback");

  auto append = harborStringSettingForKey(settings, "AppendUserAgent");
  if (!harborSettingForKey(settings, "OverrideUserAgent") && append)
    configuration.applicationNameForUserAgent =
        configuration.defaultApplicationNameForUserAgent + " " + *append;

  auto contentMode = harborStringSettingForKey(settings, "PreferredContentMode");
  if (contentMode && (*contentMode == "mobile" || *contentMode == "desktop")) {
    preferredContentMode_ = contentMode;
    logNoEffect(settings, "PreferredContentMode");
  }
  return configuration;
}

void HBRWebViewEngine::pluginInitialize() {
  auto vc = viewController();
  Value settings = vc ? vc->settings() : Value();
  auto self = std::static_pointer_cast<HBRWebViewEngine>(shared_from_this());
  setWebViewEngine(self);

  // 1. The scheme packaged files are served under.
  auto scheme = harborStringSettingForKey(settings, "scheme");
  isFileScheme_ = !scheme || *scheme == "file";
  std::string appScheme;
  if (!isFileScheme_) {
    appScheme = *scheme;
    if (WebView::handlesURLScheme(appScheme)) {
      appScheme = "app";
    } else if (!platform::URL::parse(appScheme + "://localhost")) {
      platform::log(platform::stringf("The scheme \"%s\" is not a valid URL scheme; using \"app\".",
                                      appScheme.c_str()));
      appScheme = "app";
    }
    if (vc) vc->setAppScheme(appScheme);
    std::string host = harborStringSettingForKey(settings, "hostname").value_or("localhost");
    std::string assets = appScheme + "://" + host;
    if (!platform::URL::parse(assets)) {
      platform::log(platform::stringf(
          "The hostname \"%s\" is not a valid host name; using \"localhost\".", host.c_str()));
      assets = appScheme + "://localhost";
    }
    assetsURL_ = assets;
    assets_ = platform::URL::parse(assets);
  }

  // 2. Dialogs and new windows.
  Value displayName = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleDisplayName");
  uiDelegate_ = std::make_shared<HBRWebViewUIDelegate>(
      displayName.is_string() ? displayName.get<std::string>() : "");
  uiDelegate_->setAllowNewWindows(harborBoolSettingForKey(settings, "AllowNewWindows", false));

  // 3. The command channel, through a wrapper that holds the engine weakly. Only the main
  // frame of the application's own page reaches it.
  std::weak_ptr<HBRWebViewEngine> weakEngine = self;
  auto userContentController = std::make_shared<platform::webkit::UserContentController>();
  userContentController->addMainFrameScriptMessageHandler(
      std::make_shared<HBRWebViewWeakScriptMessageHandler>(
          std::static_pointer_cast<ScriptMessageHandler>(self)),
      "harbor", scriptMessagePolicy());

  // Answers are calls of one fixed global of the top frame, defined before the page's scripts.
  userContentController->addUserScript({HBRCommandDelegateImpl::nativeCallbackDefinitionScript(), true, true});

  // 4. Pages learn the origin of the packaged files.
  if (assetsURL_)
    userContentController->addUserScript(
        {"window.HBR_ASSETS_URL = " + singleQuoted(*assetsURL_) + ";", true, true});

  // 5, 6. The configuration, with the scheme handler outside file-scheme mode.
  platform::webkit::WebViewConfiguration configuration = createConfigurationFromSettings(settings);
  configuration.userContentController = userContentController;
  if (!isFileScheme_) {
    schemeHandler_ = std::make_shared<HBRURLSchemeHandler>(vc);
    schemeHandler_->setPageRule([weakEngine](const WebView& webView, const platform::URLRequest& request) {
      auto engine = weakEngine.lock();
      return engine && engine->isApplicationPageRequest(webView, request);
    });
    configuration.setURLSchemeHandler(schemeHandler_, appScheme);
  }
  // Schemes that URL protocols answer are handed to them; the protocols register while the
  // plugins start, after the configuration is fixed.
  protocolSchemeHandler_ = std::make_shared<HBRURLProtocolSchemeHandler>(
      [weakEngine](const WebView& webView, const platform::URLRequest& request) {
        auto engine = weakEngine.lock();
        return engine && engine->isApplicationPageRequest(webView, request);
      });
  for (const char* scheme : HBRURLProtocolSchemeHandler::kSchemes)
    if (scheme != appScheme) configuration.setURLSchemeHandler(protocolSchemeHandler_, scheme);

  // 7. The web view.
  engineWebView_ = platform::webkit::makeWebView(frame_, configuration);
  if (!engineWebView_) {
    platform::log("ERROR: The web view could not be made.");
    return;
  }
  engineWebView_->setUIDelegate(uiDelegate_);
  if (auto userAgent = harborStringSettingForKey(settings, "OverrideUserAgent"))
    engineWebView_->setCustomUserAgent(*userAgent);

  // 8. A host controller that is itself a UI or navigation delegate takes that role.
  if (auto hostUIDelegate = std::dynamic_pointer_cast<platform::webkit::UIDelegate>(vc))
    engineWebView_->setUIDelegate(hostUIDelegate);
  if (auto hostNavigationDelegate =
          std::dynamic_pointer_cast<platform::webkit::NavigationDelegate>(vc))
    engineWebView_->setNavigationDelegate(hostNavigationDelegate);
  else
    engineWebView_->setNavigationDelegate(std::static_pointer_cast<NavigationDelegate>(self));

  // 9. Live settings and the foreground reload.
  updateSettings(settings);
  platform::log("HBRWebViewEngine will reload WKWebView if required on resume");
  std::weak_ptr<HBRWebViewEngine> weakSelf = self;
  platform::NotificationCenter::defaultCenter().addObserver(
      this, platform::ui::kApplicationWillEnterForegroundNotification, nullptr,
      [weakSelf](const platform::Notification&) {
        if (auto engine = weakSelf.lock()) engine->onAppWillEnterForeground();
      });
  platform::log("Using WKWebView");
  addURLObserver();
}

void HBRWebViewEngine::updateSettings(const Value& settings) {
  if (!engineWebView_) return;
  engineWebView_->setMinimumFontSize(harborFloatSettingForKey(settings, "MinimumFontSize", 0.0));

  disallowOverscroll_ = harborBoolSettingForKey(settings, "DisallowOverscroll", false);
  logNoEffect(settings, "DisallowOverscroll");
  fastDeceleration_ = harborStringSettingForKey(settings, "WKWebViewDecelerationSpeed") ==
                      std::optional<std::string>("fast");
  logNoEffect(settings, "WKWebViewDecelerationSpeed");
  engineWebView_->setAllowsBackForwardNavigationGestures(
      harborBoolSettingForKey(settings, "AllowBackForwardNavigationGestures", false));
  allowsLinkPreview_ = harborBoolSettingForKey(settings, "Allow3DTouchLinkPreview", true);
  logNoEffect(settings, "Allow3DTouchLinkPreview");
}

void HBRWebViewEngine::updateWithInfo(const HBRWebViewEngineInfo& info) {
  if (!engineWebView_) return;
  // A plugin's handler is reached like "harbor": from the application's own page only.
  for (const auto& [name, handler] : info.scriptMessageHandlers)
    if (handler) addScriptMessageHandler(handler, name);
  if (info.navigationDelegate) engineWebView_->setNavigationDelegate(info.navigationDelegate);
  if (info.uiDelegate) engineWebView_->setUIDelegate(info.uiDelegate);
  if (info.webViewPreferences && info.webViewPreferences->is_object())
    updateSettings(*info.webViewPreferences);
}

bool HBRWebViewEngine::isApplicationOrigin(const platform::URL& url) const {
  if (assetsURL_) {
    return assets_ && platform::equalsIgnoreCase(url.scheme(), assets_->scheme()) &&
           platform::equalsIgnoreCase(url.host(), assets_->host()) && url.port() == assets_->port();
  }
  // File-scheme mode: the application's pages are the files of its web folder.
  if (!url.isFileURL()) return false;
  auto vc = viewController();
  auto www = vc ? platform::Bundle::main().pathForResource(vc->wwwFolderName(), "") : std::nullopt;
  if (!www) return false;
  return platform::fs::isInside(HBRURLSchemeHandler::absolutePath(url.path()),
                                HBRURLSchemeHandler::absolutePath(*www));
}

bool HBRWebViewEngine::isApplicationPageRequest(const platform::webkit::WebView& webView,
                                                const platform::URLRequest& request) const {
  // A window a page opened is never the application's page, whatever it shows.
  if (&webView != engineWebView_.get() || !isApplicationPage()) return false;
  bool shown = false;
  for (const char* field : {"Origin", "Referer"}) {
    auto value = request.valueForHTTPHeaderField(field);
    if (!value) continue;
    auto url = platform::URL::parse(*value);
    if (!url || !isApplicationOrigin(*url)) return false;
    shown = true;
  }
  return shown || !hasForeignDocument(webView);
}

bool HBRWebViewEngine::isForeignDocument(const platform::webkit::WebView::PageDocument& document) const {
  if (document.origin == "null" || document.origin.empty()) return true;
  if (document.origin == "file://") {
    // Documents of file URLs share one origin: their URL says whether they are the
    // application's. One of another URL (about:blank, about:srcdoc, blob:) took the origin of
    // the document that made it, which described itself already.
    if (document.url.rfind("file:", 0) != 0) return false;
    auto url = platform::URL::parse(document.url);
    return !url || !isApplicationOrigin(*url);
  }
  auto origin = platform::URL::parse(document.origin);
  return !origin || !isApplicationOrigin(*origin);
}

bool HBRWebViewEngine::hasForeignDocument(const platform::webkit::WebView& webView) const {
  const auto& page = webView.committedPage();
  const platform::webkit::WebView::PageDocument* foreign = nullptr;
  for (const auto& document : page.documents) {
    if (isForeignDocument(document)) {
      foreign = &document;
      break;
    }
  }
  if (!foreign && !page.tooManyDocuments) return false;
  if (foreignLoggedGeneration_ != page.generation) {
    foreignLoggedGeneration_ = page.generation;
    std::string which = foreign ? foreign->url.substr(0, 200) + " (origin " + foreign->origin + ")"
                                : std::string("more documents than are counted");
    platform::log("A document of another origin is in the application's page (" + which +
                  "): until the next page, only requests that show the application's origin get its files and "
                  "cookies.");
  }
  return true;
}

std::vector<std::string> HBRWebViewEngine::applicationOrigins() const {
  std::vector<std::string> origins;
  if (auto assets = assetsURL_ ? platform::URL::parse(*assetsURL_) : std::nullopt) {
    std::string origin = platform::asciiLower(assets->scheme()) + "://" + platform::asciiLower(assets->host());
    if (auto port = assets->port()) origin += ":" + std::to_string(*port);
    origins.push_back(std::move(origin));
  }
  return origins;
}

bool HBRWebViewEngine::isApplicationPage() const {
  if (!engineWebView_) return false;
  const auto& committed = engineWebView_->committedPage().url;
  return committed && isApplicationOrigin(*committed);
}

std::optional<std::string> HBRWebViewEngine::applicationDocument() const {
  if (!engineWebView_ || !isApplicationPage()) return std::nullopt;
  const auto& top = engineWebView_->topDocument();
  if (!top || top->token.empty() || isForeignDocument(*top)) return std::nullopt;
  if (top->origin == "file://") {
    // In file-scheme mode the document's URL says more than the origin all files share.
    auto url = platform::URL::parse(top->url);
    if (!url || !isApplicationOrigin(*url)) return std::nullopt;
  }
  return top->token;
}

platform::webkit::ScriptMessageOriginPolicy HBRWebViewEngine::scriptMessagePolicy() const {
  std::weak_ptr<const HBRWebViewEngine> weakEngine =
      std::static_pointer_cast<const HBRWebViewEngine>(shared_from_this());
  platform::webkit::ScriptMessageOriginPolicy policy;
  policy.check = [weakEngine](const platform::URL& page) {
    auto engine = weakEngine.lock();
    return engine && engine->isApplicationOrigin(page);
  };
  if (isFileScheme_)
    policy.fileURLs = true;
  else
    policy.origins = applicationOrigins();
  return policy;
}

void HBRWebViewEngine::addScriptMessageHandler(
    const std::shared_ptr<platform::webkit::ScriptMessageHandler>& handler, const std::string& name) {
  if (!engineWebView_ || !handler) return;
  engineWebView_->addMainFrameScriptMessageHandler(handler, name, scriptMessagePolicy());
}

// ---------------------------------------------------------------------------------------------
// Loading

bool HBRWebViewEngine::canLoadRequest(const platform::URLRequest&) const {
  // Every web view of this platform loads file URLs with read access to a folder.
  return true;
}

std::optional<platform::URL> HBRWebViewEngine::applicationSchemeURLForFileURL(
    const platform::URL& fileURL) const {
  if (!assetsURL_) return std::nullopt;
  auto assets = platform::URL::parse(*assetsURL_);
  if (!assets) return std::nullopt;
  auto vc = viewController();
  auto delegate = commandDelegate();
  std::string startPage = vc ? vc->startPage() : "index.html";
  std::string requestPath = fileURL.path();

  std::optional<platform::URL> target;
  auto startURL = platform::URL::parse(startPage);
  auto startFilePath =
      startURL && delegate ? delegate->pathForResource(startURL->path()) : std::nullopt;
  requestPath = HBRURLSchemeHandler::absolutePath(requestPath);
  if (startFilePath && requestPath == HBRURLSchemeHandler::absolutePath(*startFilePath)) {
    target = platform::URL::parse(*assetsURL_ + "/" + startPage);
  } else {
    // A file of the web folder keeps its place in it; any other file goes through the
    // reserved prefix, which the scheme handler serves only from the package and the data root.
    auto www =
        vc ? platform::Bundle::main().pathForResource(vc->wwwFolderName(), "") : std::nullopt;
    std::string root = www ? HBRURLSchemeHandler::absolutePath(*www) : "";
    if (www && platform::fs::isInside(requestPath, root))
      target = assets->appendingPathComponent(requestPath.substr(root.size()));
    else
      target = assets->appendingPathComponent(
          std::string(HBRURLSchemeHandler::kAppFilePrefix).substr(1) + requestPath);
  }
  if (!target) return std::nullopt;
  if (auto query = fileURL.query()) target = target->resolve("?" + *query);
  if (target) {
    if (auto fragment = fileURL.fragment()) target = target->resolve("#" + *fragment);
  }
  return target;
}

void HBRWebViewEngine::loadRequest(const platform::URLRequest& request) {
  if (!engineWebView_) {
    platform::log("ERROR: The web view engine has no web view to load " +
                  request.url().absoluteString());
    return;
  }
  const platform::URL& url = request.url();
  if (!canLoadRequest(request)) {
    showOwnPage(
        platform::stringf(
            "<!doctype html><title>Error</title><div style='font-size:2em'>   <p>The WebView "
            "engine "
            "'%s' is unable to load the request: %s</p>   <p>Most likely the cause of the error is "
            "that the loading of file urls is not supported in iOS %s.</p></div>",
            className().c_str(), url.absoluteString().c_str(), platform::ui::Device::systemVersion()));
    return;
  }
  if (url.isFileURL() && isFileScheme_) {
    requestedURL_ = url.absoluteString();
    engineWebView_->loadFileURL(url, url.deletingLastPathComponent());
    return;
  }
  if (url.isFileURL()) {
    if (auto rewritten = applicationSchemeURLForFileURL(url)) {
      requestedURL_ = rewritten->absoluteString();
      engineWebView_->loadRequest(platform::URLRequest(*rewritten));
      return;
    }
    platform::log("ERROR: Cannot serve " + url.absoluteString() + " under the application scheme.");
    return;
  }
  requestedURL_ = url.absoluteString();
  engineWebView_->loadRequest(request);
}

void HBRWebViewEngine::loadHTMLString(const std::string& html,
                                      const std::optional<platform::URL>& baseURL) {
  if (!baseURL) {
    showOwnPage(html);
    return;
  }
  if (engineWebView_) engineWebView_->loadHTMLString(html, baseURL);
}

void HBRWebViewEngine::evaluateJavaScript(const std::string& script,
                                          platform::webkit::JavaScriptCompletion completion) {
  auto document = applicationDocument();
  evaluateJavaScript(script, std::move(completion), document ? *document : std::string());
}

void HBRWebViewEngine::evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                                          const std::string& documentToken) {
  evaluateChecked(script, std::move(completion), documentToken);
}

void HBRWebViewEngine::evaluateAnswers(const std::string& script, platform::webkit::JavaScriptCompletion completion) {
  evaluateChecked(script, std::move(completion), std::nullopt);
}

void HBRWebViewEngine::evaluateChecked(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                                       const std::optional<std::string>& documentToken) {
  // The bridge's texts (answers, events, the batches they hand back) reach the application's
  // own page only: the committed page must be the application's, and in the web process each
  // text runs only in the document it names (a text of answers names it in each answer). What
  // an evaluation returns counts only when the page that ran it is still the one it was sent to:
  // any other page could return a batch of commands.
  std::string refusal;
  if (!engineWebView_) {
    refusal = "There is no web view to evaluate JavaScript in.";
  } else if (!isApplicationPage()) {
    refusal = "The page shown is not the application's own; nothing of the bridge is evaluated in it.";
    const auto& committed = engineWebView_->committedPage().url;
    std::string shown = committed ? committed->absoluteString().substr(0, 200) : std::string("no page");
    platform::log("Not evaluated in " + shown + ": it is not the application's own page.");
  } else if (documentToken && documentToken->empty()) {
    // The committed page is the application's, but the document the web process shows has not
    // said it is (it has not started yet, or another has taken its place since).
    refusal = "The application's document shown is not known; nothing of the bridge is evaluated.";
    platform::log("Not evaluated: the document shown has not described itself as the application's own.");
  } else {
    std::uint64_t generation = engineWebView_->committedPage().generation;
    std::weak_ptr<HBRWebViewEngine> weakSelf = std::static_pointer_cast<HBRWebViewEngine>(shared_from_this());
    platform::webkit::JavaScriptCompletion checked =
        [weakSelf, generation, completion = std::move(completion)](const Value& result,
                                                                   const std::optional<platform::Error>& error) {
          auto self = weakSelf.lock();
          if (self && self->pageGeneration() == generation && self->isApplicationPage()) {
            if (completion) completion(result, error);
            return;
          }
          if (!result.is_null()) platform::log("Dropped the result of an evaluation: its page went away.");
          if (completion)
            completion(Value(), platform::Error::make("HBRWebViewEngine", 2,
                                                      "The page that ran the script went away."));
        };
    if (documentToken)
      engineWebView_->evaluateJavaScript(script, std::move(checked), *documentToken);
    else
      engineWebView_->evaluateJavaScript(script, std::move(checked));
    return;
  }
  if (!completion) return;
  // Completions always come later, as a web view would deliver them.
  platform::MainLoop::post([completion = std::move(completion), refusal] {
    completion(Value(), platform::Error::make("HBRWebViewEngine", 1, refusal));
  });
}

std::optional<platform::URL> HBRWebViewEngine::URL() const {
  return engineWebView_ ? engineWebView_->url() : std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Reloads

bool HBRWebViewEngine::shouldReloadWebView(const std::optional<platform::URL>& url,
                                           const std::optional<std::string>& title) {
  return !title || (url && url->absoluteString() == "about:blank");
}

bool HBRWebViewEngine::shouldReloadWebView() const {
  if (!engineWebView_) return false;
  return shouldReloadWebView(engineWebView_->url(), engineWebView_->title());
}

void HBRWebViewEngine::onAppWillEnterForeground() {
  if (!shouldReloadWebView()) return;
  platform::log("HBRWebViewEngine reloading!");
  engineWebView_->reload();
}

void HBRWebViewEngine::webContentProcessDidTerminate(WebView& webView) {
  // A page that crashes the engine would crash it again at once: reloads wait longer each
  // time, and after a few crashes in a short time the page is given up for an error page.
  double now = platform::monotonicSeconds();
  while (!crashTimes_.empty() && now - crashTimes_.front() > kCrashWindowSeconds) crashTimes_.pop_front();
  crashTimes_.push_back(now);
  if (reloadTimer_) reloadTimer_->invalidate();
  if (crashTimes_.size() > kMaxCrashReloads) {
    platform::log(platform::stringf("The web content process ended %zu times within %g seconds; not reloading.",
                                    crashTimes_.size(), kCrashWindowSeconds));
    showOwnPage(
        "<!doctype html><title>Error</title><div style='font-size:2em'><p>The web page stopped working "
        "repeatedly and was closed.</p><p>Restart the application to try again.</p></div>");
    return;
  }
  double delay = kFirstCrashReloadDelay * static_cast<double>(1u << (crashTimes_.size() - 1));
  platform::log(platform::stringf("The web content process ended; reloading in %g seconds.", delay));
  std::weak_ptr<platform::ui::View> weakView = webView.weak_from_this();
  reloadTimer_ = platform::Timer::schedule(delay, false, [weakView] {
    if (auto view = weakView.lock()) static_cast<WebView&>(*view).reload();
  });
}

void HBRWebViewEngine::showOwnPage(const std::string& html) {
  if (!engineWebView_) return;
  // The navigation to "about:blank" that this load makes is the engine's own, not the page's:
  // the navigation policy lets it through.
  ++ownPageLoads_;
  engineWebView_->loadHTMLString(html, std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Commands and navigation

void HBRWebViewEngine::didReceiveScriptMessage(const std::string& name, const Value& body) {
  // A copy walks the value recursively: one nested beyond reason is answered uncopied.
  if (platform::nestedDeeperThan(body)) {
    auto vc = name == "harbor" ? viewController() : nullptr;
    if (auto queue = vc ? vc->commandQueue() : nullptr)
      queue->executeJSON(body, engineWebView_ ? engineWebView_->messageDocument() : std::string());
    return;
  }
  didReceiveScriptMessage(name, Value(body));
}

void HBRWebViewEngine::didReceiveScriptMessage(const std::string& name, Value&& body) {
  if (name != "harbor") return;
  auto vc = viewController();
  auto queue = vc ? vc->commandQueue() : nullptr;
  if (!queue) return;
  // The answers go to the document that posted it.
  std::string document = engineWebView_ ? engineWebView_->messageDocument() : std::string();
  // The web view calls in from its own event loop, which an exception must not reach.
  try {
    // Batches that came before it and still wait (one being decoded) run first.
    if (queue->hasPendingBatches()) {
      queue->enqueueCommand(std::move(body), std::move(document));
      queue->executePending();
    } else {
      queue->executeJSON(std::move(body), document);
    }
  } catch (const std::exception& e) {
    platform::log(std::string("ERROR: A command from the page failed: ") + e.what());
  } catch (...) {
    platform::log("ERROR: A command from the page failed.");
  }
}

void HBRWebViewEngine::decidePolicyForNavigationAction(
    WebView&, const platform::webkit::NavigationAction& action,
    std::function<void(bool allow)> decisionHandler) {
  const platform::URLRequest& request = action.request;
  if (ownPageLoads_ > 0 && action.targetsMainFrame && request.url().absoluteString() == "about:blank") {
    --ownPageLoads_;
    decisionHandler(true);
    return;
  }
  // A srcdoc frame loads no URL: its document is the text its parent gave it, of its parent's
  // origin or (sandboxed) of none, and it describes itself like every other document.
  if (request.url().absoluteString() == "about:srcdoc") {
    decisionHandler(true);
    return;
  }
  auto allow = [&decisionHandler] { decisionHandler(true); };
  bool answered = false;
  if (auto vc = viewController()) {
    // The order is explicit: by rank, then as the plugins were registered.
    auto plugins = vc->pluginSnapshot();
    std::stable_sort(plugins.begin(), plugins.end(),
                     [](const auto& a, const auto& b) { return a->navigationRank() < b->navigationRank(); });
    for (const auto& plugin : plugins) {
      std::optional<bool> answer;
      try {
        answer = plugin->shouldOverrideLoad(action);
      } catch (...) {
        // A plugin that cannot answer does not get to let the navigation through.
        platform::log("ERROR: Plugin '" + plugin->className() + "' failed while deciding on " +
                      request.url().absoluteString());
        answer = false;
      }
      if (!answer) continue;
      answered = true;
      if (!*answer) {
        decisionHandler(false);
        return;
      }
    }
  }
  if (answered) {
    allow();
    return;
  }
  if (defaultResourcePolicyForURL(request.url()) || isApplicationOrigin(request.url())) {
    allow();
    return;
  }
  decisionHandler(false);
  // The start page is the URL the engine was asked to load; a frame of it has a URL of its own.
  if (action.targetsMainFrame && !pageLoaded_ && request.url().absoluteString() == requestedURL_) {
    // Nothing would ever show: the start page is neither the application's own nor allowed
    // by a plugin.
    platform::log("ERROR: The start page " + request.url().absoluteString() +
                  " was refused: it is not of the application's origin and no plugin allows it (a package "
                  "names the pages it may show with HBRIntentAndNavigationFilter and <allow-navigation>).");
    platform::NotificationCenter::defaultCenter().post(HBRStartPageRefusedNotification, nullptr,
                                                       request.url().absoluteString());
  }
  platform::NotificationCenter::defaultCenter().post(HBRPluginHandleOpenURLNotification, nullptr,
                                                     request.url().absoluteString());
}

void HBRWebViewEngine::didStartProvisionalNavigation(WebView&) {}

void HBRWebViewEngine::didCommitNavigation(WebView& webView) {
  platform::NotificationCenter::defaultCenter().post(HBRPluginResetNotification, &webView);
}

void HBRWebViewEngine::didFinishNavigation(WebView& webView) {
  pageLoaded_ = true;
  platform::NotificationCenter::defaultCenter().post(HBRPageDidLoadNotification, &webView);
}

void HBRWebViewEngine::didFailProvisionalNavigation(WebView& webView,
                                                    const platform::Error& error) {
  handleLoadFailure(webView, error);
}

void HBRWebViewEngine::didFailNavigation(WebView& webView, const platform::Error& error) {
  handleLoadFailure(webView, error);
}

void HBRWebViewEngine::handleLoadFailure(WebView& webView, const platform::Error& error) {
  std::string message = "Failed to load webpage with error: " + error.localizedDescription();
  platform::log(message);
  // A cancelled load was replaced by another one; showing the error page would cancel that too.
  if (error.domain == platform::kURLErrorDomain && error.code == platform::urlerror::kCancelled) return;
  auto vc = viewController();
  auto errorURL = vc ? vc->errorURL() : std::nullopt;
  if (!errorURL) return;

  std::string failing;
  auto key = error.userInfo.find("NSErrorFailingURLStringKey");
  if (key != error.userInfo.end() && key->is_string())
    failing = key->get<std::string>();
  else if (auto current = webView.url())
    failing = current->absoluteString();
  // The error page that fails to load is not loaded again, or the failures would never end.
  if (!failing.empty() && documentOf(failing) == documentOf(errorURL->absoluteString())) {
    platform::log("The error page itself failed to load: " + failing);
    return;
  }

  auto target = vc->errorPageURL(message);
  if (!target) return;
  platform::log(target->absoluteString());
  webView.loadRequest(platform::URLRequest(*target));
}

void HBRWebViewEngine::allowsBackForwardNavigationGestures(const HBRInvokedUrlCommand& command) {
  const Value& argument = command.argumentAtIndex(0);
  bool allow = false;
  if (argument.is_boolean())
    allow = argument.get<bool>();
  else if (argument.is_number())
    allow = argument.get<double>() != 0;
  if (engineWebView_) engineWebView_->setAllowsBackForwardNavigationGestures(allow);
}
