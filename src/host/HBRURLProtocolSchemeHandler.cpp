#include "host/HBRURLProtocolSchemeHandler.h"

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/net/URLError.h"

// Carries what the protocol says, from whatever thread, to the task on the main thread, in
// the order it was said. After the finish, a failure or a stop, nothing more reaches the task.
class HBRURLProtocolSchemeHandler::Client final : public platform::URLProtocolClient,
                                                  public std::enable_shared_from_this<Client> {
 public:
  Client(std::weak_ptr<HBRURLProtocolSchemeHandler> handler, std::shared_ptr<platform::webkit::URLSchemeTask> task)
      : handler_(std::move(handler)), task_(std::move(task)) {}

  void didReceiveResponse(platform::URLProtocol&, const platform::URLResponse& response,
                          platform::URLCacheStoragePolicy) override {
    platform::URLResponse marked = response;
    if (response.isHTTP()) {
      platform::HTTPHeaders fields = response.allHeaderFields();
      fields.emplace_back("X-Content-Type-Options", "nosniff");
      marked = platform::URLResponse::http(response.url(), response.statusCode(), std::move(fields),
                                           response.httpVersion());
    }
    forward([marked](platform::webkit::URLSchemeTask& task) { task.didReceiveResponse(marked); }, false);
  }
  void didLoadData(platform::URLProtocol&, std::string data) override {
    forward([data = std::move(data)](platform::webkit::URLSchemeTask& task) { task.didReceiveData(data); }, false);
  }
  void didFinishLoading(platform::URLProtocol&) override {
    forward([](platform::webkit::URLSchemeTask& task) { task.didFinish(); }, true);
  }
  void didFailWithError(platform::URLProtocol&, const platform::Error& error) override {
    forward([error](platform::webkit::URLSchemeTask& task) { task.didFailWithError(error); }, true);
  }

  // Main thread.
  void stop() { task_.reset(); }

 private:
  template <typename Step>
  void forward(Step step, bool last) {
    auto self = shared_from_this();
    platform::MainLoop::post([self, step = std::move(step), last] {
      if (!self->task_) return;
      auto task = self->task_;
      step(*task);
      if (!last) return;
      self->task_.reset();
      if (auto handler = self->handler_.lock()) handler->finished(task.get());
    });
  }
  std::weak_ptr<HBRURLProtocolSchemeHandler> handler_;
  std::shared_ptr<platform::webkit::URLSchemeTask> task_;
};

void HBRURLProtocolSchemeHandler::startURLSchemeTask(platform::webkit::WebView& webView,
                                                     const std::shared_ptr<platform::webkit::URLSchemeTask>& task) {
  if (!task) return;
  const platform::URLRequest& request = task->request();
  if (!isApplicationPageRequest_ || !isApplicationPageRequest_(webView, request)) {
    auto page = webView.url();
    platform::log("Refused " + request.url().absoluteString() + ": only the application's own page may load it (page " +
                  (page ? page->absoluteString() : std::string("none")) + ").");
    task->didFailWithError(platform::urlerror::make(platform::urlerror::kNoPermissionsToReadFile, &request.url(),
                                                    "Only the application's own page may load this URL"));
    return;
  }
  for (const auto& protocolClass : platform::URLProtocol::registeredClasses()) {
    std::shared_ptr<platform::URLProtocol> protocol;
    try {
      if (!protocolClass->canInitWithRequest(request)) continue;
      auto client = std::make_shared<Client>(weak_from_this(), task);
      protocol = protocolClass->makeProtocol(protocolClass->canonicalRequestForRequest(request), client);
    } catch (...) {
      platform::log("ERROR: The URL protocol " + protocolClass->name() + " failed while asked to take " +
                    request.url().absoluteString());
    }
    if (!protocol) continue;
    running_[task.get()] = protocol;
    platform::DispatchQueue::global().async([protocol] {
      try {
        protocol->startLoading();
      } catch (...) {
        platform::log("ERROR: The URL protocol failed to load " + protocol->request().url().absoluteString());
        protocol->client()->didFailWithError(
            *protocol, platform::urlerror::make(platform::urlerror::kUnknown, &protocol->request().url(),
                                                "The URL protocol failed"));
      }
    });
    return;
  }
  task->didFailWithError(platform::urlerror::make(platform::urlerror::kUnsupportedURL, &request.url(),
                                                  "No URL protocol answers this URL"));
}

void HBRURLProtocolSchemeHandler::stopURLSchemeTask(platform::webkit::WebView&,
                                                    const std::shared_ptr<platform::webkit::URLSchemeTask>& task) {
  auto it = running_.find(task.get());
  if (it == running_.end()) return;
  auto protocol = it->second;
  running_.erase(it);
  if (auto client = std::dynamic_pointer_cast<Client>(protocol->client())) client->stop();
  platform::DispatchQueue::global().async([protocol] { protocol->stopLoading(); });
}

void HBRURLProtocolSchemeHandler::finished(const platform::webkit::URLSchemeTask* task) {
  auto it = running_.find(task);
  if (it == running_.end()) return;
  auto protocol = it->second;
  running_.erase(it);
  platform::DispatchQueue::global().async([protocol] { protocol->stopLoading(); });
}
