#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/webkit/WebView.h"
#include "platform/ui/gtk/GObjectPtr.h"

namespace platform::webkit {

class GtkWebContext;
class GtkURLSchemeTask;

// The web view of the real shell, on WebKitGTK 4.1. It turns the configuration into a
// WebKitUserContentManager, WebKitSettings and scheme registrations on the shared context,
// and WebKit's signals into calls on the navigation and UI delegates. Main thread only.
class GtkWebView : public WebView {
 public:
  static std::shared_ptr<GtkWebView> create(ui::Rect frame, const WebViewConfiguration& configuration);
  ~GtkWebView() override;

  // The GtkWebView that shows `widget`, or nullptr.
  static GtkWebView* fromWidget(WebKitWebView* widget);

  void loadRequest(const URLRequest& request) override;
  void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) override;
  void loadFileURL(const URL& url, const URL& readAccessURL) override;
  std::optional<URL> url() const override;
  std::optional<std::string> title() const override;
  void reload() override;
  void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) override;
  void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion,
                          const std::string& documentToken) override;

  const WebViewConfiguration& configuration() const override { return configuration_; }
  void setMinimumFontSize(double size) override;
  void setAllowsBackForwardNavigationGestures(bool allow) override;
  bool allowsBackForwardNavigationGestures() const override;
  void setCustomUserAgent(std::optional<std::string> userAgent) override;
  std::optional<std::string> customUserAgent() const override { return customUserAgent_; }
  void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) override;
  void addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                        ScriptMessageOriginPolicy policy) override;
  // Also reaches the live content manager, so the script runs from the next load on.
  void addUserScript(UserScript script) override;
  // Not opaque: the view's background colour is fully transparent.
  void setOpaque(bool opaque) override;

  // Writes a PNG of the visible part of the page. The completion runs later on the main
  // thread with no error on success.
  void snapshotPNG(const std::string& path, std::function<void(const std::optional<Error>&)> completion);

  // The GTK widget (a WebKitWebView) that the window shows.
  GtkWidget* widget() const { return GTK_WIDGET(view_.get()); }
  void* nativeWidget() const override { return widget(); }
  WebKitWebView* webKitView() const { return view_.get(); }
  WebKitSettings* settings() const { return settings_.get(); }
  // The user agent WebKit sends now.
  std::string userAgent() const;
  // Gives `settings` WebKit's own user agent followed by the application's name.
  static void applyApplicationName(WebKitSettings* settings, const std::string& name);

  // Starts a request of one of this view's schemes (called by the shared context).
  void startSchemeRequest(WebKitURISchemeRequest* request);
  // A task that was answered or failed leaves the view's list of pending tasks.
  void schemeTaskEnded(GtkURLSchemeTask* task);
  size_t pendingSchemeTaskCount() const { return pendingTasks_.size(); }

 protected:
  void didChange() override;

 private:
  struct MessageChannel;
  GtkWebView(ui::Rect frame, const WebViewConfiguration& configuration, WebKitWebView* relatedView);
  void setUp();
  void connectMessageChannel(const std::string& name);
  void installUserScript(const UserScript& script);
  void applyUserAgent();
  std::shared_ptr<GtkWebView> self() { return std::static_pointer_cast<GtkWebView>(shared_from_this()); }

  // Signal handlers. Each catches everything: no exception may unwind through GLib.
  static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer channel);
  static void onDocumentMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer self);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType, gpointer self);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*, gpointer self);
  static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self);
  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog*, gpointer self);
  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer self);
  static void onClose(WebKitWebView*, gpointer self);
  static gboolean onUserInput(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest*, gpointer self);

  // Whether the user's own input reached the view lately. WebKit counts every script the
  // shell evaluates (every bridge callback) as a user gesture, so its word alone does not
  // tell a click from a page's script.
  bool hadRecentUserInput() const;

  WebViewConfiguration configuration_;
  std::shared_ptr<GtkWebContext> context_;
  platform::gtk::GObjectPtr<WebKitUserContentManager> contentManager_;
  platform::gtk::GObjectPtr<WebKitSettings> settings_;
  platform::gtk::GObjectPtr<WebKitWebView> view_;
  std::vector<std::unique_ptr<MessageChannel>> channels_;
  std::vector<platform::gtk::SignalConnection> connections_;
  platform::gtk::SignalConnection documentConnection_;
  std::set<std::shared_ptr<GtkURLSchemeTask>> pendingTasks_;
  std::optional<std::string> customUserAgent_;
  bool webProcessTerminated_ = false;
  bool loadFailed_ = false;
  std::chrono::steady_clock::time_point lastUserInput_{};
  // The web views of new windows this page opened, kept until their page closes them, and
  // for such a view the page that opened it.
  std::vector<std::shared_ptr<GtkWebView>> openedWindows_;
  std::weak_ptr<GtkWebView> opener_;
};

// The engine in this process (WebKit runs pages in a process of their own) only turns the
// values pages hand over into ours, with a few small functions of the shell's, which a burst
// of bridge calls runs tens of thousands of times: often enough for the engine's optimizing
// compilers, whose code (megabytes of it, paged in) and memory buy little here. The engine
// keeps to its quick compiler instead (without that one, bursts of calls ran at a third of
// the speed). Call at the very start, before anything uses the engine: its options are fixed
// from then on, and changing them afterwards crashes the process.
void keepOptimizingCompilersOutOfThisProcess();

// Makes the WebKitGTK web view the one `makeWebView` answers. Call once at start, on the
// main thread, after GTK is initialised.
void installGtkWebViewFactory();

}  // namespace platform::webkit
