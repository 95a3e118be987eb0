#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/ui/View.h"

namespace platform::webkit {

// Navigation types with the numbers the host's plugins are given.
enum class NavigationType : int {
  LinkActivated = 0,
  FormSubmitted = 1,
  BackForward = 2,
  Reload = 3,
  FormResubmitted = 4,
  Other = -1,
};

struct NavigationAction {
  URLRequest request;
  NavigationType navigationType = NavigationType::Other;
  bool targetsMainFrame = true;
};

// Receives the messages a page posts with window.webkit.messageHandlers.<name>.postMessage.
class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void didReceiveScriptMessage(const std::string& name, const Value& body) = 0;
};

struct UserScript {
  std::string source;
  bool atDocumentStart = true;
  bool mainFrameOnly = true;
};

// The scripts and message handlers of a web view. Handlers are held strongly, as the
// platform does; a host that must not be kept alive registers a weak wrapper.
class UserContentController {
 public:
  void addUserScript(UserScript script) { scripts_.push_back(std::move(script)); }
  const std::vector<UserScript>& userScripts() const { return scripts_; }
  void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) {
    handlers_[name] = std::move(handler);
  }
  void removeScriptMessageHandler(const std::string& name) { handlers_.erase(name); }
  std::shared_ptr<ScriptMessageHandler> handler(const std::string& name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? nullptr : it->second;
  }
  const std::map<std::string, std::shared_ptr<ScriptMessageHandler>>& handlers() const { return handlers_; }

 private:
  std::vector<UserScript> scripts_;
  std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
};

// One web content process pool shared by every web view of the process. The WebKitGTK
// backend maps it to one WebKitWebContext.
class ProcessPool {
 public:
  virtual ~ProcessPool() = default;
};

class WebView;

class NavigationDelegate {
 public:
  virtual ~NavigationDelegate() = default;
  virtual void decidePolicyForNavigationAction(WebView&, const NavigationAction&,
                                               std::function<void(bool allow)> decisionHandler) {
    decisionHandler(true);
  }
  virtual void didStartProvisionalNavigation(WebView&) {}
  virtual void didFinishNavigation(WebView&) {}
  virtual void didFailProvisionalNavigation(WebView&, const Error&) {}
  virtual void didFailNavigation(WebView&, const Error&) {}
  virtual void webContentProcessDidTerminate(WebView&) {}
};

using JavaScriptCompletion = std::function<void(const Value& result, const std::optional<Error>& error)>;

// The web view the host drives. Every call is made on the main thread.
class WebView : public ui::View {
 public:
  using ui::View::View;

  virtual void loadRequest(const URLRequest& request) = 0;
  virtual void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) = 0;
  virtual void loadFileURL(const URL& url, const URL& readAccessURL) = 0;
  virtual std::optional<URL> url() const = 0;
  virtual std::optional<std::string> title() const = 0;
  virtual void reload() = 0;
  // The completion runs later on the main thread, never inside this call.
  virtual void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) = 0;

  void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { navigationDelegate_ = std::move(delegate); }
  std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }

 private:
  std::weak_ptr<NavigationDelegate> navigationDelegate_;
};

}  // namespace platform::webkit
