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

  explicit HeadlessWebView(WebViewConfiguration configuration = {}, ui::Rect frame = {});

  void loadRequest(const URLRequest& request) override;
  void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) override;
  void loadFileURL(const URL& url, const URL& readAccessURL) override;
  std::optional<URL> url() const override { return url_; }
  std::optional<std::string> title() const override { return title_; }
  void reload() override;
  void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) override;
  // Runs (records and answers) only when `documentToken` names the top document shown now;
  // otherwise nothing is recorded and the completion gets null, as in a real page.
  void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion,
                          const std::string& documentToken) override;
  const WebViewConfiguration& configuration() const override { return configuration_; }
  void setMinimumFontSize(double size) override { configuration_.preferences.minimumFontSize = size; }
  void setAllowsBackForwardNavigationGestures(bool allow) override { backForwardGestures_ = allow; }
  bool allowsBackForwardNavigationGestures() const override { return backForwardGestures_; }
  void setCustomUserAgent(std::optional<std::string> userAgent) override { customUserAgent_ = std::move(userAgent); }
  std::optional<std::string> customUserAgent() const override { return customUserAgent_; }
  void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) override {
    configuration_.userContentController->addScriptMessageHandler(std::move(handler), name);
  }
  void addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                        ScriptMessageOriginPolicy policy) override {
    configuration_.userContentController->addMainFrameScriptMessageHandler(std::move(handler), name, std::move(policy));
  }
  void addUserScript(UserScript script) override {
    configuration_.userContentController->addUserScript(std::move(script));
  }

  // Test controls.
  const std::vector<Load>& loads() const { return loads_; }
  const std::vector<std::string>& evaluatedScripts() const { return scripts_; }
  void clearRecords();
  int reloadCount() const { return reloads_; }
  // Answers evaluations: the value returned is the script's result (null by default).
  void setScriptResponder(std::function<Value(const std::string& script)> responder) {
    responder_ = std::move(responder);
  }
  // Delivers a message to the handler registered under `name`, as page script would: from
  // the main frame showing `frameURL` (the page's own word of where it is; the current URL
  // when absent), or from a sub-frame. False when nothing received it (no handler, or a
  // main-frame handler refused the sender or the page committed now).
  bool postScriptMessage(const std::string& name, const Value& body, std::optional<URL> frameURL = std::nullopt,
                         bool fromMainFrame = true);
  // Commits `url` as a new top document at once, without a load: a page that navigated on its
  // own (a link, a redirect). Like every load, the new document then describes itself, with
  // the token "document-<generation>".
  void commitPage(std::optional<URL> url);
  // A document describing itself, as the engine's script in each frame does.
  void describeDocument(bool topFrame, PageDocument document) { didDescribeDocument(topFrame, std::move(document)); }
  // The origin a document of `url` has ("scheme://host[:port]"; "null" for data: and about:).
  static std::string originOf(const URL& url);
  // Whether loads report start and finish to the navigation delegate on their own.
  void setAutoFinishLoads(bool value) { autoFinish_ = value; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
  std::shared_ptr<UserContentController> userContentController() const {
    return configuration_.userContentController;
  }

  // A scheme request as the page would make it; the recorded task shows the answer.
  struct RecordedTask : URLSchemeTask {
    explicit RecordedTask(URLRequest r) : request_(std::move(r)) {}
    const URLRequest& request() const override { return request_; }
    // Every answer is recorded, and so is each one that came after the web view stopped the
    // task: a handler must never answer a stopped task.
    void didReceiveResponse(const URLResponse& r) override {
      answeredAfterStop += stopped;
      response = r;
    }
    void didReceiveData(std::string_view d) override {
      answeredAfterStop += stopped;
      data.append(d);
    }
    void didReceiveOwnedData(std::string d) override {
      answeredAfterStop += stopped;
      if (data.empty())
        data = std::move(d);
      else
        data.append(d);
    }
    void didFinish() override {
      answeredAfterStop += stopped;
      finished = true;
    }
    void didFailWithError(const Error& e) override {
      answeredAfterStop += stopped;
      error = e;
    }
    // A file body is recorded (how much of which file was asked for), then read as the
    // default does.
    void didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length) override {
      answeredAfterStop += stopped;
      fileBodies.push_back({offset, length});
      URLSchemeTask::didReceiveFileBody(fd, offset, length);
    }
    // A body stream is recorded; it is read as it arrives unless `holdsStreams` is set, when
    // the test reads it (or leaves it unread) itself.
    bool didReceiveBodyStream(const std::shared_ptr<BodyStream>& body) override {
      answeredAfterStop += stopped;
      bodyStream = body;
      return holdsStreams;
    }
    struct FileBody {
      std::int64_t offset = 0;
      std::int64_t length = 0;
    };
    URLRequest request_;
    std::vector<FileBody> fileBodies;
    std::shared_ptr<BodyStream> bodyStream;
    bool holdsStreams = false;
    std::optional<URLResponse> response;
    std::string data;
    bool finished = false;
    std::optional<Error> error;
    bool stopped = false;
    int answeredAfterStop = 0;
  };
  // Starts a task on the handler registered for the request's scheme; nullptr when none.
  std::shared_ptr<RecordedTask> startSchemeTask(const URLRequest& request);
  void stopSchemeTask(const std::shared_ptr<RecordedTask>& task);
  // Runs the navigation delegate's policy decision for a request, as a click would (a link
  // counts as the user's gesture).
  std::optional<bool> decidePolicy(const URLRequest& request, NavigationType type);
  std::optional<bool> decidePolicy(const NavigationAction& action);

 private:
  void startNavigation(std::optional<URL> url);

  WebViewConfiguration configuration_;
  bool backForwardGestures_ = false;
  std::optional<std::string> customUserAgent_;
  std::vector<Load> loads_;
  std::vector<std::string> scripts_;
  std::function<Value(const std::string&)> responder_;
  std::optional<URL> url_;
  std::optional<std::string> title_;
  bool autoFinish_ = true;
  int reloads_ = 0;
};

}  // namespace platform::webkit
