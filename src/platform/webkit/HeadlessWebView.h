#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/webkit/WebView.h"

namespace platform::webkit {

// A web view with no web engine behind it, for unit tests and tools. It records what it was
// asked to load and evaluate, lets a test answer evaluations, and lets a test post script
// messages as a page would. Loads finish on a later turn of the main loop, like a real one.
class HeadlessWebView : public WebView {
 public:
  struct Load {
    enum class Kind { Request, HTMLString, FileURL } kind;
    URLRequest request;  // for Request and FileURL (its URL)
    std::string html;    // for HTMLString
    std::optional<URL> baseURL;
  };

  explicit HeadlessWebView(std::shared_ptr<UserContentController> contentController = nullptr,
                           ui::Rect frame = {});

  void loadRequest(const URLRequest& request) override;
  void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) override;
  void loadFileURL(const URL& url, const URL& readAccessURL) override;
  std::optional<URL> url() const override { return url_; }
  std::optional<std::string> title() const override { return title_; }
  void reload() override;
  void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) override;

  // Test controls.
  const std::vector<Load>& loads() const { return loads_; }
  const std::vector<std::string>& evaluatedScripts() const { return scripts_; }
  void clearRecords();
  int reloadCount() const { return reloads_; }
  // Answers evaluations: the value returned is the script's result (null by default).
  void setScriptResponder(std::function<Value(const std::string& script)> responder) {
    responder_ = std::move(responder);
  }
  // Delivers a message to the handler registered under `name`, as page script would.
  bool postScriptMessage(const std::string& name, const Value& body);
  // Whether loads report start and finish to the navigation delegate on their own.
  void setAutoFinishLoads(bool value) { autoFinish_ = value; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
  std::shared_ptr<UserContentController> userContentController() const { return contentController_; }

 private:
  void startNavigation(std::optional<URL> url);

  std::shared_ptr<UserContentController> contentController_;
  std::vector<Load> loads_;
  std::vector<std::string> scripts_;
  std::function<Value(const std::string&)> responder_;
  std::optional<URL> url_;
  std::optional<std::string> title_;
  bool autoFinish_ = true;
  int reloads_ = 0;
};

}  // namespace platform::webkit
