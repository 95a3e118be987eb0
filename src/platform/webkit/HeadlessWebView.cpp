#include "platform/webkit/HeadlessWebView.h"

#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"

namespace platform::webkit {

HeadlessWebView::HeadlessWebView(WebViewConfiguration configuration, ui::Rect frame)
    : WebView(frame), configuration_(completedConfiguration(std::move(configuration))) {}

void HeadlessWebView::loadRequest(const URLRequest& request) {
  loads_.push_back({Load::Kind::Request, request, {}, {}});
  startNavigation(request.url());
}

void HeadlessWebView::loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) {
  loads_.push_back({Load::Kind::HTMLString, {}, html, baseURL});
  startNavigation(baseURL ? baseURL : URL::parse("about:blank"));
}

void HeadlessWebView::loadFileURL(const URL& url, const URL& readAccessURL) {
  loads_.push_back({Load::Kind::FileURL, URLRequest(url), {}, readAccessURL});
  startNavigation(url);
}

void HeadlessWebView::reload() {
  ++reloads_;
  startNavigation(url_);
}

std::string HeadlessWebView::originOf(const URL& url) {
  std::string scheme = asciiLower(url.scheme());
  if (scheme == "file") return "file://";
  if (url.host().empty()) return "null";
  std::string origin = scheme + "://" + asciiLower(url.host());
  if (auto port = url.port()) origin += ":" + std::to_string(*port);
  return origin;
}

void HeadlessWebView::commitPage(std::optional<URL> url) {
  url_ = url;
  didCommitPage(url);
  if (url)
    didDescribeDocument(true, {originOf(*url), url->absoluteString(),
                               "document-" + std::to_string(committedPage().generation)});
}

void HeadlessWebView::startNavigation(std::optional<URL> url) {
  // The document is committed at once; start, commit and finish are reported on later turns.
  commitPage(std::move(url));
  if (!autoFinish_) return;
  std::weak_ptr<View> weakSelf = weak_from_this();
  MainLoop::post([weakSelf] {
    auto self = std::static_pointer_cast<HeadlessWebView>(weakSelf.lock());
    if (!self) return;
    if (auto delegate = self->navigationDelegate()) delegate->didStartProvisionalNavigation(*self);
    if (auto delegate = self->navigationDelegate()) delegate->didCommitNavigation(*self);
    MainLoop::post([weakSelf] {
      auto self = std::static_pointer_cast<HeadlessWebView>(weakSelf.lock());
      if (!self) return;
      if (auto delegate = self->navigationDelegate()) delegate->didFinishNavigation(*self);
    });
  });
}

void HeadlessWebView::evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) {
  scripts_.push_back(script);
  Value result = responder_ ? responder_(script) : Value();
  if (!completion) return;
  MainLoop::post([completion = std::move(completion), result = std::move(result)] {
    completion(result, std::nullopt);
  });
}

void HeadlessWebView::evaluateJavaScript(const std::string& script, JavaScriptCompletion completion,
                                         const std::string& documentToken) {
  if (topDocument() && isDocumentToken(documentToken) && topDocument()->token == documentToken) {
    evaluateJavaScript(script, std::move(completion));
    return;
  }
  if (!completion) return;
  MainLoop::post([completion = std::move(completion)] { completion(Value(), std::nullopt); });
}

void HeadlessWebView::clearRecords() {
  loads_.clear();
  scripts_.clear();
  reloads_ = 0;
}

bool HeadlessWebView::postScriptMessage(const std::string& name, const Value& body, std::optional<URL> frameURL,
                                        bool fromMainFrame) {
  const auto& controller = *configuration_.userContentController;
  auto handler = controller.handler(name);
  if (!handler) return false;
  if (const ScriptMessageOriginPolicy* policy = controller.originPolicy(name)) {
    // A frame never sees a main-frame handler; the main frame only while its page, and the
    // page committed now, are allowed.
    std::optional<URL> page = frameURL ? frameURL : url_;
    if (!fromMainFrame || !acceptsMainFrameMessage(*policy, page)) return false;
  }
  // The message comes from the top document shown now.
  DeliveringMessage delivering(*this, fromMainFrame && topDocument() ? topDocument()->token : std::string());
  handler->didReceiveScriptMessage(name, body);
  return true;
}

std::shared_ptr<HeadlessWebView::RecordedTask> HeadlessWebView::startSchemeTask(const URLRequest& request) {
  auto handler = configuration_.handlerForScheme(request.url().scheme());
  if (!handler) return nullptr;
  auto task = std::make_shared<RecordedTask>(request);
  handler->startURLSchemeTask(*this, task);
  return task;
}

void HeadlessWebView::stopSchemeTask(const std::shared_ptr<RecordedTask>& task) {
  task->stopped = true;
  if (auto handler = configuration_.handlerForScheme(task->request().url().scheme()))
    handler->stopURLSchemeTask(*this, task);
}

std::optional<bool> HeadlessWebView::decidePolicy(const URLRequest& request, NavigationType type) {
  return decidePolicy(NavigationAction{request, type, true, type == NavigationType::LinkActivated});
}

std::optional<bool> HeadlessWebView::decidePolicy(const NavigationAction& action) {
  auto delegate = navigationDelegate();
  if (!delegate) return std::nullopt;
  std::optional<bool> decision;
  // A top-level navigation is its own main document.
  NavigationAction main = action;
  if (!main.request.mainDocumentURL()) main.request.setMainDocumentURL(main.request.url());
  delegate->decidePolicyForNavigationAction(*this, main, [&decision](bool allow) { decision = allow; });
  return decision;
}

}  // namespace platform::webkit
