#pragma once

#include <functional>
#include <map>
#include <memory>

#include "platform/net/URLProtocol.h"
#include "platform/webkit/WebView.h"

// Lets the web view load URLs of a scheme that a registered URL protocol answers ("hbrfile"
// of the file plugin). The web view's scheme handlers are fixed when its configuration is
// made, before any plugin starts and registers a protocol, so the engine registers this
// handler for such schemes up front; each request then goes to the first registered URL
// protocol that accepts it. The protocol runs on a background queue; its answer is handed to
// the web view's task on the main thread, marked "X-Content-Type-Options: nosniff". A request
// no protocol accepts, or that does not come from the application's own page, fails at once.
class HBRURLProtocolSchemeHandler : public platform::webkit::URLSchemeHandler,
                                    public std::enable_shared_from_this<HBRURLProtocolSchemeHandler> {
 public:
  // The schemes the engine hands to URL protocols.
  static constexpr const char* kSchemes[] = {"hbrfile"};

  // Whether a request comes from the application's own page; only such requests are answered
  // (they name the device's files), every other one fails with a log line. None: all fail.
  using PageRule = std::function<bool(const platform::webkit::WebView&, const platform::URLRequest&)>;
  explicit HBRURLProtocolSchemeHandler(PageRule isApplicationPageRequest = nullptr)
      : isApplicationPageRequest_(std::move(isApplicationPageRequest)) {}

  void startURLSchemeTask(platform::webkit::WebView& webView,
                          const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;
  void stopURLSchemeTask(platform::webkit::WebView& webView,
                         const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;

  // Protocols still loading (main thread).
  size_t runningCount() const { return running_.size(); }

 private:
  class Client;
  void finished(const platform::webkit::URLSchemeTask* task);

  PageRule isApplicationPageRequest_;
  // Main thread only.
  std::map<const platform::webkit::URLSchemeTask*, std::shared_ptr<platform::URLProtocol>> running_;
};
