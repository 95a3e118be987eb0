#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRPlugin.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/ClassRegistry.h"
#include "platform/ui/Geometry.h"
#include "platform/webkit/WebView.h"

class HBRURLProtocolSchemeHandler;
class HBRURLSchemeHandler;
namespace platform {
class Timer;
}
class HBRWebViewUIDelegate;

// Engine classes by name, each made with the frame of its web view ("initWithFrame"). The
// settings "HarborWebViewEngine" and "HarborDefaultWebViewEngine" name one of them, so a
// subclass registered later can replace the host's engine.
using HBRWebViewEngineClassRegistry =
    platform::ClassRegistry<std::shared_ptr<platform::Object>(platform::ui::Rect)>;

template <typename T>
void HBRRegisterWebViewEngineClass(const std::string& className) {
  HBRWebViewEngineClassRegistry::shared().registerClass(
      className, [](platform::ui::Rect frame) { return std::make_shared<T>(frame); });
}

// Passes script messages on to a target it holds weakly, so that the web view's content
// controller, which keeps its handlers strongly, does not keep the engine alive.
class HBRWebViewWeakScriptMessageHandler : public platform::webkit::ScriptMessageHandler {
 public:
  explicit HBRWebViewWeakScriptMessageHandler(
      std::weak_ptr<platform::webkit::ScriptMessageHandler> target)
      : scriptMessageHandler_(std::move(target)) {}
  void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override {
    if (auto target = scriptMessageHandler_.lock()) target->didReceiveScriptMessage(name, body);
  }
  void didReceiveScriptMessage(const std::string& name, platform::Value&& body) override {
    if (auto target = scriptMessageHandler_.lock()) target->didReceiveScriptMessage(name, std::move(body));
  }
  std::shared_ptr<platform::webkit::ScriptMessageHandler> scriptMessageHandler() const {
    return scriptMessageHandler_.lock();
  }

 private:
  std::weak_ptr<platform::webkit::ScriptMessageHandler> scriptMessageHandler_;
};

// Posted (object: none, the URL's text) when the navigation policy refused the start page:
// nothing would ever show. The shell ends on it.
inline constexpr const char* HBRStartPageRefusedNotification = "HBRStartPageRefusedNotification";

// Owns the one web view the web application runs in. Registered by the host view controller
// as a plugin; its `pluginInitialize` builds the web view from the settings, installs the
// "harbor" message channel, the packaged-files scheme handler and the UI delegate. As the
// navigation delegate it polls every plugin before a navigation, and it posts the page-reset
// and page-loaded notifications. Main thread only.
class HBRWebViewEngine : public HBRPlugin,
                         public HBRWebViewEngineProtocol,
                         public platform::webkit::NavigationDelegate,
                         public platform::webkit::ScriptMessageHandler {
 public:
  // Keeps the frame; the web view itself is made by `pluginInitialize`, once the settings are
  // known.
  explicit HBRWebViewEngine(platform::ui::Rect frame);
  ~HBRWebViewEngine() override;
  std::string className() const override { return "HBRWebViewEngine"; }

  // The configuration a web view is made with. Subclasses add their own parts.
  virtual platform::webkit::WebViewConfiguration createConfigurationFromSettings(
      const platform::Value& settings);
  void pluginInitialize() override;
  void onReset() override { addURLObserver(); }
  // Watching the URL for a lost page is only needed below system 9.0; kept for subclasses.
  void addURLObserver() {}
  void onAppWillEnterForeground();
  bool shouldReloadWebView() const;
  static bool shouldReloadWebView(const std::optional<platform::URL>& url,
                                  const std::optional<std::string>& title);

  // HBRWebViewEngineProtocol.
  void loadRequest(const platform::URLRequest& request) override;
  void loadHTMLString(const std::string& html,
                      const std::optional<platform::URL>& baseURL) override;
  // Evaluates in the application's document shown now (applicationDocument()).
  void evaluateJavaScript(const std::string& script,
                          platform::webkit::JavaScriptCompletion completion) override;
  void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                          const std::string& documentToken) override;
  void evaluateAnswers(const std::string& script, platform::webkit::JavaScriptCompletion completion) override;
  std::optional<std::string> applicationDocument() const override;
  std::optional<platform::URL> URL() const override;
  bool canLoadRequest(const platform::URLRequest& request) const override;
  void updateWithInfo(const HBRWebViewEngineInfo& info) override;
  std::shared_ptr<platform::webkit::WebView> engineWebView() const override {
    return engineWebView_;
  }

  // Applies settings to the live web view.
  void updateSettings(const platform::Value& settings);

  // Whether a page at `url` is the application's own: the application scheme and host (the
  // assets URL), or in file-scheme mode a file of the web folder. Only such a page, in the
  // main frame, may send commands.
  virtual bool isApplicationOrigin(const platform::URL& url) const;
  // The origins ("scheme://host[:port]", lower case) that `isApplicationOrigin` accepts, for
  // the relay that checks a message before it leaves the page; empty in file-scheme mode.
  virtual std::vector<std::string> applicationOrigins() const;
  // The committed top document is of the application's origin (`isApplicationOrigin` of the
  // URL the web view committed, never one the page reports).
  bool isApplicationPage() const override;
  // Registers `handler` under `name` for the application's own page only: the top frame,
  // through the relay that checks the origin and the size before a message crosses, and the
  // same check on the committed document here. Every handler of the shell is registered so.
  // The web view holds the handler strongly; one that must not keep its owner alive holds it
  // weakly itself.
  void addScriptMessageHandler(const std::shared_ptr<platform::webkit::ScriptMessageHandler>& handler,
                               const std::string& name) override;

  // Whether a request of the shell's own schemes comes from the application's own page, and
  // so may have the application's files and credentials: it comes from the engine's own web
  // view, whose committed top document is the application's (isApplicationPage, the same
  // question the bridge asks); the request's "Origin" and "Referer", when present, are of the
  // application's origin too; and once a document that is not of the application's origin has
  // been in the page since it was committed (any frame's, those without an origin of their own
  // included: a sandboxed or srcdoc frame, a data: or blob: document, about:blank written by
  // another frame), only a request that shows the application's origin in one of them. WebKit
  // tells the UI process nothing about which frame a subresource request comes from, and most
  // requests carry neither field. Main thread.
  bool isApplicationPageRequest(const platform::webkit::WebView& webView,
                                const platform::URLRequest& request) const;
  // Whether a document the page described (platform::webkit::WebView::PageDocument) is not of
  // the application's origin.
  bool isForeignDocument(const platform::webkit::WebView::PageDocument& document) const;
  // Whether a document not of the application's origin has been in `webView`'s committed page.
  bool hasForeignDocument(const platform::webkit::WebView& webView) const;

  // The "harbor" channel.
  void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override;
  void didReceiveScriptMessage(const std::string& name, platform::Value&& body) override;

  // Navigation delegate.
  void decidePolicyForNavigationAction(platform::webkit::WebView& webView,
                                       const platform::webkit::NavigationAction& action,
                                       std::function<void(bool allow)> decisionHandler) override;
  void didStartProvisionalNavigation(platform::webkit::WebView& webView) override;
  // The page's plugins are reset (HBRPluginResetNotification) when a new document commits, not
  // when a navigation starts: one that never commits leaves the page and its plugins as they
  // were.
  void didCommitNavigation(platform::webkit::WebView& webView) override;
  void didFinishNavigation(platform::webkit::WebView& webView) override;
  void didFailProvisionalNavigation(platform::webkit::WebView& webView,
                                    const platform::Error& error) override;
  void didFailNavigation(platform::webkit::WebView& webView, const platform::Error& error) override;
  void webContentProcessDidTerminate(platform::webkit::WebView& webView) override;
  // What happens to a navigation no plugin decided: file URLs load, and so do pages of the
  // application's own origin (`isApplicationOrigin`). When that refuses the start page, the
  // engine logs why and posts HBRStartPageRefusedNotification.
  static bool defaultResourcePolicyForURL(const platform::URL& url) { return url.isFileURL(); }

  // Action: argument 0, when a number, switches back/forward swipes; sends no result.
  void allowsBackForwardNavigationGestures(const HBRInvokedUrlCommand& command);

  std::shared_ptr<HBRWebViewUIDelegate> uiDelegate() const { return uiDelegate_; }
  std::shared_ptr<HBRURLSchemeHandler> schemeHandler() const { return schemeHandler_; }
  std::shared_ptr<HBRURLProtocolSchemeHandler> protocolSchemeHandler() const { return protocolSchemeHandler_; }
  // The origin packaged files are served under ("app://localhost"); nullopt in file-scheme mode.
  const std::optional<std::string>& assetsURL() const { return assetsURL_; }
  bool isFileScheme() const { return isFileScheme_; }

  // Settings kept although the Linux web view has nothing to apply them to.
  bool disallowsOverscroll() const { return disallowOverscroll_; }
  bool fastDeceleration() const { return fastDeceleration_; }
  bool allowsLinkPreview() const { return allowsLinkPreview_; }
  const std::optional<std::string>& preferredContentMode() const { return preferredContentMode_; }

 protected:
  // The URL of the application scheme that stands for a local file URL.
  std::optional<platform::URL> applicationSchemeURLForFileURL(const platform::URL& fileURL) const;

 private:
  void handleLoadFailure(platform::webkit::WebView& webView, const platform::Error& error);
  // Evaluates after the bridge's checks; in `documentToken`'s document only when one is given
  // (a text of answers checks each answer's document itself).
  void evaluateChecked(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                       const std::optional<std::string>& documentToken);
  platform::webkit::ScriptMessageOriginPolicy scriptMessagePolicy() const;
  // Loads a page the engine made itself (an error page) without a base URL.
  void showOwnPage(const std::string& html);

  // Crashes of the content process: reloads wait 0.25 s, 0.5 s, 1 s; a fourth crash within a
  // minute shows an error page instead.
  static constexpr size_t kMaxCrashReloads = 3;
  static constexpr double kCrashWindowSeconds = 60.0;
  static constexpr double kFirstCrashReloadDelay = 0.25;
  std::deque<double> crashTimes_;
  std::shared_ptr<platform::Timer> reloadTimer_;
  int ownPageLoads_ = 0;
  // A page has finished loading since the engine started.
  bool pageLoaded_ = false;
  // The URL the engine last asked the web view to load.
  std::string requestedURL_;
  // The page generation whose foreign document was logged last: one line per page.
  mutable std::uint64_t foreignLoggedGeneration_ = 0;

  platform::ui::Rect frame_;
  std::shared_ptr<platform::webkit::WebView> engineWebView_;
  std::shared_ptr<HBRWebViewUIDelegate> uiDelegate_;
  std::shared_ptr<HBRURLSchemeHandler> schemeHandler_;
  std::shared_ptr<HBRURLProtocolSchemeHandler> protocolSchemeHandler_;
  std::optional<std::string> assetsURL_;
  // `assetsURL_` parsed once: every message and evaluation of the bridge checks against it.
  std::optional<platform::URL> assets_;
  bool isFileScheme_ = true;
  bool disallowOverscroll_ = false;
  bool fastDeceleration_ = false;
  bool allowsLinkPreview_ = true;
  std::optional<std::string> preferredContentMode_;
};
