#include "platform/webkit/WebView.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"
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
  // The file as it was when the body began: a file rewritten or cut short meanwhile ends the
  // answer with an error, never with bytes of two versions.
  fs::FileVersion version = fs::FileVersion::of(fd);
  std::string buffer(64 * 1024, '\0');
  std::optional<Error> failure;
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(buffer.size())));
    ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !version.isCurrent(fd)) {
      failure = Error::make("NSURLErrorDomain", -1005, "the file changed while it was served");
      break;
    }
    didReceiveData(std::string_view(buffer.data(), static_cast<size_t>(got)));
    offset += got;
    length -= got;
  }
  ::close(fd);
  if (failure)
    didFailWithError(*failure);
  else
    didFinish();
}

bool URLSchemeTask::didReceiveBodyStream(const std::shared_ptr<BodyStream>&) { return false; }

namespace {

// Hands what has arrived to the task, a bounded amount per turn of the main loop, and comes
// back when more arrives.
void drainBodyStream(const std::shared_ptr<URLSchemeTask>& task, const std::shared_ptr<BodyStream>& body) {
  static constexpr size_t kPerTurn = 256 * 1024;
  std::string buffer(64 * 1024, '\0');
  for (size_t handed = 0; handed < kPerTurn;) {
    if (body->isCancelled()) return;
    size_t got = 0;
    switch (body->read(buffer.data(), buffer.size(), got)) {
      case BodyStream::Read::Data:
        task->didReceiveData(std::string_view(buffer.data(), got));
        handed += got;
        continue;
      case BodyStream::Read::Waiting:
        return;  // the readable callback comes back
      case BodyStream::Read::Ended:
        body->setReadableCallback(nullptr);
        task->didFinish();
        return;
      case BodyStream::Read::Failed:
        body->setReadableCallback(nullptr);
        task->didFailWithError(body->error().value_or(Error::make("NSURLErrorDomain", -1005, "the body failed")));
        return;
    }
  }
  MainLoop::post([task, body] { drainBodyStream(task, body); });
}

}  // namespace

void answerWithBodyStream(const std::shared_ptr<URLSchemeTask>& task, std::shared_ptr<BodyStream> body) {
  if (!task || !body) return;
  if (task->didReceiveBodyStream(body)) return;
  // The callback holds the task weakly (a task that went away is answered no more) and the
  // stream strongly, until the stream ends: its maker may let it go before it is read.
  std::weak_ptr<URLSchemeTask> weakTask = task;
  body->setReadableCallback([weakTask, body] {
    MainLoop::post([weakTask, body] {
      if (auto task = weakTask.lock())
        drainBodyStream(task, body);
      else
        body->cancel();
    });
  });
  MainLoop::post([task, body] { drainBodyStream(task, body); });
}

}  // namespace platform::webkit
