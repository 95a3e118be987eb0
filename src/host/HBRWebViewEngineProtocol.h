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
  // The token of the application's page shown now: the top document that described itself
  // last, when it is of the application's origin and the committed page is the application's
  // own too (platform::webkit::WebView::topDocument). Nothing otherwise, and for an engine that
  // cannot tell.
  virtual std::optional<std::string> applicationDocument() const { return std::nullopt; }
  // Evaluates `script` in the application's document `documentToken` only: the web process
  // checks the document as the script is about to run, so it never runs in a page committed
  // after it was sent. The completion gets an error when the engine refuses at once (no
  // application page), and a null result when the document was not there to run it.
  virtual void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                                  const std::string& documentToken) {
    (void)script;
    (void)documentToken;
    if (completion) completion(platform::Value(), platform::Error::make("HBRWebViewEngine", 1, "No document to run in."));
  }
  // Evaluates a text of the bridge's answer functions, each answer of which names the document
  // it is meant for and runs only there (HBRCommandDelegateImpl::callbackMessage).
  virtual void evaluateAnswers(const std::string& script, platform::webkit::JavaScriptCompletion completion) {
    (void)script;
    if (completion) completion(platform::Value(), platform::Error::make("HBRWebViewEngine", 1, "No document to run in."));
  }
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
