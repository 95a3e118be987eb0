#include "platform/webkit/HeadlessWebView.h"

#include "platform/foundation/MainLoop.h"

namespace platform::webkit {

HeadlessWebView::HeadlessWebView(std::shared_ptr<UserContentController> contentController, ui::Rect frame)
    : WebView(frame),
      contentController_(contentController ? std::move(contentController)
                                           : std::make_shared<UserContentController>()) {}

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

void HeadlessWebView::startNavigation(std::optional<URL> url) {
  url_ = std::move(url);
  if (!autoFinish_) return;
  std::weak_ptr<View> weakSelf = weak_from_this();
  MainLoop::post([weakSelf] {
    auto self = std::static_pointer_cast<HeadlessWebView>(weakSelf.lock());
    if (!self) return;
    if (auto delegate = self->navigationDelegate()) delegate->didStartProvisionalNavigation(*self);
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

void HeadlessWebView::clearRecords() {
  loads_.clear();
  scripts_.clear();
  reloads_ = 0;
}

bool HeadlessWebView::postScriptMessage(const std::string& name, const Value& body) {
  auto handler = contentController_->handler(name);
  if (!handler) return false;
  handler->didReceiveScriptMessage(name, body);
  return true;
}

}  // namespace platform::webkit
