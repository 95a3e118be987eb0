#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaders.h"

namespace platform {

enum class URLRequestCachePolicy { UseProtocolCachePolicy = 0, ReloadIgnoringLocalCacheData = 1 };

// A URL load request: a value type, copied freely. The property bag travels with copies, so
// a URL protocol can mark a request as handled and recognise it when it comes back.
class URLRequest {
 public:
  URLRequest() = default;
  // A request made without a time-out of its own takes its session's request time-out.
  explicit URLRequest(URL url,
                      URLRequestCachePolicy policy = URLRequestCachePolicy::UseProtocolCachePolicy)
      : url_(std::move(url)), cachePolicy_(policy) {}
  URLRequest(URL url, URLRequestCachePolicy policy, double timeoutInterval)
      : url_(std::move(url)),
        cachePolicy_(policy),
        timeoutInterval_(timeoutInterval),
        hasOwnTimeout_(true) {}

  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }
  // A session sends only a method that is an HTTP token (isHTTPToken); a request with any
  // other method fails without reaching the network. Empty means "GET".
  const std::string& httpMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) {
    timeoutInterval_ = seconds;
    hasOwnTimeout_ = true;
  }
  // True once a time-out was given to this request; a session uses its configuration's
  // request time-out otherwise, and also when this one is not a positive number. A session
  // waits no longer than a year whatever is asked.
  bool hasOwnTimeoutInterval() const { return hasOwnTimeout_; }
  // The URL of the top-level document the request loads into, when the web view tells it;
  // a top-level load has its own URL here.
  const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
  void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }
  const std::string& httpBody() const { return body_; }
  void setHTTPBody(std::string body) { body_ = std::move(body); }

  // Header fields in the order they were first set; names compared ignoring ASCII case.
  // A field that isValidHTTPHeaderField refuses is not stored (answers false), so it is never
  // sent.
  const HTTPHeaders& allHTTPHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
  bool setValue(std::string_view value, std::string_view field);
  // Appends to an existing value with ","; sets the field when absent.
  bool addValue(std::string_view value, std::string_view field);
  void removeHTTPHeaderField(std::string_view field);

  Value property(const std::string& key) const;
  void setProperty(const std::string& key, Value value);
  void removeProperty(const std::string& key);

 private:
  URL url_;
  std::string method_ = "GET";
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
  double timeoutInterval_ = 60.0;
  bool hasOwnTimeout_ = false;
  std::optional<URL> mainDocumentURL_;
  std::string body_;
  HTTPHeaders headers_;
  std::map<std::string, Value> properties_;
};

}  // namespace platform
