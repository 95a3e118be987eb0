#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/webkit/WebView.h"

// What a plugin may install on the engine through `updateWithInfo`.
struct HBRWebViewEngineInfo {
  std::map<std::string, std::shared_ptr<platform::webkit::ScriptMessageHandler>> scriptMessageHandlers;
  std::shared_ptr<platform::webkit::NavigationDelegate> navigationDelegate;
  std::shared_ptr<platform::webkit::UIDelegate> uiDelegate;
  std::optional<platform::Value> webViewPreferences;
};

// The operations of any web view engine the host can be configured with.
class HBRWebViewEngineProtocol {
 public:
  virtual ~HBRWebViewEngineProtocol() = default;

  virtual void loadRequest(const platform::URLRequest& request) = 0;
  virtual void loadHTMLString(const std::string& html, const std::optional<platform::URL>& baseURL) = 0;
  virtual void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion) = 0;
  virtual std::optional<platform::URL> URL() const = 0;
  virtual bool canLoadRequest(const platform::URLRequest& request) const = 0;
  virtual void updateWithInfo(const HBRWebViewEngineInfo& info) = 0;
  virtual std::shared_ptr<platform::webkit::WebView> engineWebView() const = 0;

  // Whether the top document is the application's own page, as the web view committed it:
  // the one question every path asks before the bridge reaches a page. An engine that cannot
  // tell answers no.
  virtual bool isApplicationPage() const { return false; }
  // The page generation: how many top documents the web view committed so far. What was meant
  // for one generation never reaches another.
  virtual std::uint64_t pageGeneration() const {
    auto webView = engineWebView();
    return webView ? webView->committedPage().generation : 0;
  }
  // Registers a native message handler that only the application's own page reaches (the top
  // frame, checked before a message leaves the page and again on the committed document).
  // Every handler of the shell is registered through this; an engine that cannot check a page
  // registers nothing.
  virtual void addScriptMessageHandler(const std::shared_ptr<platform::webkit::ScriptMessageHandler>& handler,
                                       const std::string& name) {
    (void)handler;
    (void)name;
  }
};
