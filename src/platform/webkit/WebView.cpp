#include "platform/webkit/WebView.h"

#include "platform/foundation/Strings.h"
#include "platform/webkit/HeadlessWebView.h"

namespace platform::webkit {

bool WebView::handlesURLScheme(const std::string& scheme) {
  static const char* const kSchemes[] = {"http", "https", "file", "about", "data", "blob", "ws", "wss", "javascript"};
  for (const char* s : kSchemes)
    if (equalsIgnoreCase(scheme, s)) return true;
  return false;
}

WebViewConfiguration WebView::completedConfiguration(WebViewConfiguration configuration) {
  if (!configuration.userContentController)
    configuration.userContentController = std::make_shared<UserContentController>();
  return configuration;
}

WebViewFactory& currentWebViewFactory() {
  static WebViewFactory factory = [](ui::Rect frame, const WebViewConfiguration& configuration) {
    return std::make_shared<HeadlessWebView>(configuration, frame);
  };
  return factory;
}

std::shared_ptr<WebView> makeWebView(ui::Rect frame, const WebViewConfiguration& configuration) {
  return currentWebViewFactory()(frame, configuration);
}

}  // namespace platform::webkit
