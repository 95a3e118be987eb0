#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/HBRCommandQueue.h"
#include "host/HBRPlugin.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/webkit/HeadlessWebView.h"

// A minimal engine over the headless web view, which records every load and evaluation. Once
// attached to a host controller, "harbor" messages become commands of the host's queue.
class HeadlessTestEngine : public HBRPlugin,
                           public HBRWebViewEngineProtocol,
                           public platform::webkit::ScriptMessageHandler {
 public:
  HeadlessTestEngine() : webView_(std::make_shared<platform::webkit::HeadlessWebView>()) {}
  std::string className() const override { return "HeadlessTestEngine"; }

  void attach(const std::shared_ptr<HBRViewController>& vc) {
    vc_ = vc;
    // The web view holds its handlers strongly; a weak hop keeps it from owning the engine.
    struct WeakHandler : platform::webkit::ScriptMessageHandler {
      std::weak_ptr<HeadlessTestEngine> engine;
      void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override {
        if (auto e = engine.lock()) e->didReceiveScriptMessage(name, body);
      }
    };
    auto handler = std::make_shared<WeakHandler>();
    handler->engine = std::dynamic_pointer_cast<HeadlessTestEngine>(shared_from_this());
    webView_->addScriptMessageHandler(handler, "harbor");
  }
  void didReceiveScriptMessage(const std::string& name, const platform::Value& body) override {
    auto vc = vc_.lock();
    if (name != "harbor" || !vc) return;
    vc->commandQueue()->executeJSON(body, webView_->messageDocument());
  }

  void loadRequest(const platform::URLRequest& request) override { webView_->loadRequest(request); }
  void loadHTMLString(const std::string& html, const std::optional<platform::URL>& base) override {
    webView_->loadHTMLString(html, base);
  }
  // Evaluates everything as it is, whatever the document: the engine checks nothing.
  void evaluateJavaScript(const std::string& script,
                          platform::webkit::JavaScriptCompletion completion) override {
    webView_->evaluateJavaScript(script, std::move(completion));
  }
  void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                          const std::string&) override {
    webView_->evaluateJavaScript(script, std::move(completion));
  }
  void evaluateAnswers(const std::string& script, platform::webkit::JavaScriptCompletion completion) override {
    webView_->evaluateJavaScript(script, std::move(completion));
  }
  // The token of the page shown, or "headless" before any page was.
  std::optional<std::string> applicationDocument() const override {
    const auto& top = webView_->topDocument();
    return top ? top->token : std::string("headless");
  }
  std::optional<platform::URL> URL() const override { return webView_->url(); }
  bool canLoadRequest(const platform::URLRequest&) const override { return true; }
  void updateWithInfo(const HBRWebViewEngineInfo&) override {}
  std::shared_ptr<platform::webkit::WebView> engineWebView() const override { return webView_; }
  // Pages a test counts as the application's own (none by default).
  std::function<bool(const platform::URL&)> applicationOrigin;
  bool isApplicationPage() const override {
    const auto& committed = webView_->committedPage().url;
    return applicationOrigin && committed && applicationOrigin(*committed);
  }
  void addScriptMessageHandler(const std::shared_ptr<platform::webkit::ScriptMessageHandler>& handler,
                               const std::string& name) override {
    std::weak_ptr<HeadlessTestEngine> weakSelf = std::dynamic_pointer_cast<HeadlessTestEngine>(shared_from_this());
    webView_->addMainFrameScriptMessageHandler(handler, name, platform::webkit::ScriptMessageOriginPolicy{
        [weakSelf](const platform::URL& page) {
          auto self = weakSelf.lock();
          return self && self->applicationOrigin && self->applicationOrigin(page);
        }, std::nullopt, false});
  }

  std::shared_ptr<platform::webkit::HeadlessWebView> headless() const { return webView_; }

 private:
  std::shared_ptr<platform::webkit::HeadlessWebView> webView_;
  std::weak_ptr<HBRViewController> vc_;
};
