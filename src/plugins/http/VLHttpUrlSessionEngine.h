#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net/URLSession.h"
#include "plugins/http/VLHttpCookieHandler.h"
#include "plugins/http/VLHttpRequester.h"

// Sends the HTTP plugin's requests as data tasks of one URL session, each with a completion
// handler that receives the whole body. The request id is each task's description, so aborts
// find their task in the session's own list. Cookies come only from the cookie handler, for
// the first request and for every redirect hop, and the cookies of every response and
// redirect response go back through it: the session's own cookie handling is off.
class VLHttpUrlSessionEngine : public VLHttpRequesterProtocol,
                               public std::enable_shared_from_this<VLHttpUrlSessionEngine> {
 public:
  static constexpr std::size_t kDefaultMaximumResponseBodySize = 64u << 20;
  // Requests in flight to one host at a time.
  static constexpr int kMaximumConnectionsPerHost = 6;

  static std::shared_ptr<VLHttpUrlSessionEngine> create(std::shared_ptr<VLHttpCookieHandler> cookieHandler);
  explicit VLHttpUrlSessionEngine(std::shared_ptr<VLHttpCookieHandler> cookieHandler);
  ~VLHttpUrlSessionEngine() override;

  void sendRequest(const std::string& requestId, const platform::URL& url, std::int32_t method,
                   const platform::Value& headers, double timeoutMilliseconds,
                   const std::optional<std::string>& body, Callback callback) override;
  void abortRequest(const std::string& requestId, std::function<void()> completion) override;
  void abortAllRequests(std::function<void()> completion) override;

  // A body larger than this fails the request (code 3) instead of filling memory. Applies to
  // requests sent afterwards.
  void setMaximumResponseBodySize(std::size_t bytes) { maximumBodySize_ = bytes; }
  std::size_t maximumResponseBodySize() const { return maximumBodySize_; }

  std::shared_ptr<platform::URLSession> urlSession();
  const std::shared_ptr<VLHttpCookieHandler>& cookieHandler() const { return cookieHandler_; }

 private:
  class Delegate;

  void didComplete(const std::string& requestId, const platform::URL& url, std::size_t limit,
                   const Callback& callback, std::optional<std::string> data,
                   const std::optional<platform::URLResponse>& response, std::optional<platform::Error> error);
  void willPerformHTTPRedirection(const platform::URLResponse& response, platform::URLRequest newRequest,
                                  std::function<void(std::optional<platform::URLRequest>)> completion);

  std::shared_ptr<VLHttpCookieHandler> cookieHandler_;
  std::once_flag sessionOnce_;
  std::shared_ptr<platform::URLSession> session_;
  std::atomic<std::size_t> maximumBodySize_{kDefaultMaximumResponseBodySize};
};

