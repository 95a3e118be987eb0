#include "platform/webkit/WebView.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

bool WebView::isDocumentToken(const std::string& token) {
  if (token.empty() || token.size() > 64) return false;
  for (char c : token)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}

std::string WebView::scriptForDocument(const std::string& script, const std::string& documentToken) {
  // A token of any other form could not be the document's: the check fails in every page.
  std::string token = isDocumentToken(documentToken) ? documentToken : std::string();
  // The line breaks keep a script that ends in a line comment from taking the brace with it.
  std::string text;
  text.reserve(script.size() + token.size() + 40);
  text += "if(";
  text += kDocumentCheckFunction;
  text += "(\"";
  text += token;
  text += "\")){\n";
  text += script;
  text += "\n}";
  return text;
}

void WebView::didDescribeDocument(bool topFrame, PageDocument document) {
  if (document.url.size() > kMaxDocumentURLLength) document.url.resize(kMaxDocumentURLLength);
  if (topFrame) topDocument_ = document;
  // A document's origin is what counts; for documents of file URLs, which share one origin,
  // their URL.
  bool byURL = document.origin == "file://" && document.url.rfind("file:", 0) == 0;
  for (const PageDocument& known : committedPage_.documents)
    if (known.origin == document.origin && (!byURL || known.url == document.url)) return;
  if (committedPage_.documents.size() >= kMaxPageDocuments) {
    committedPage_.tooManyDocuments = true;
    return;
  }
  document.token.clear();
  committedPage_.documents.push_back(std::move(document));
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

DefaultUserAgentProvider& currentDefaultUserAgentProvider() {
  static DefaultUserAgentProvider provider = [] {
    return "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) " +
           WebViewConfiguration().defaultApplicationNameForUserAgent;
  };
  return provider;
}

std::string defaultUserAgent() {
  auto& provider = currentDefaultUserAgentProvider();
  return provider ? provider() : std::string();
}

}  // namespace platform::webkit

namespace platform::webkit {

void URLSchemeTask::didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length) {
  std::string buffer(64 * 1024, '\0');
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(buffer.size())));
    ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // a file that shrank ends the body early
    didReceiveData(std::string_view(buffer.data(), static_cast<size_t>(got)));
    offset += got;
    length -= got;
  }
  ::close(fd);
  didFinish();
}

}  // namespace platform::webkit
