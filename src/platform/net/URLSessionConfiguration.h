#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/HTTPHeaders.h"
#include "platform/net/URLProtocol.h"

namespace platform {

// How a session loads: a value copied into the session when it is made, so later changes to
// the caller's copy do not reach a running session.
class URLSessionConfiguration {
 public:
  // The shared, persisted cookie store.
  static URLSessionConfiguration defaultSessionConfiguration();
  // A cookie store of its own, in memory: nothing persists beyond the session.
  static URLSessionConfiguration ephemeralSessionConfiguration();

  // Sent with every request that does not set the same field itself (names compared ignoring
  // ASCII case). A field that isValidHTTPHeaderField refuses is dropped and logged; the answer
  // is false when any was.
  const HTTPHeaders& httpAdditionalHeaders() const { return additionalHeaders_; }
  bool setHTTPAdditionalHeaders(HTTPHeaders headers);

  // Asked in order, before the network, whether one of them takes a request.
  const std::vector<URLProtocolClassRef>& protocolClasses() const { return protocolClasses_; }
  void setProtocolClasses(std::vector<URLProtocolClassRef> classes) {
    protocolClasses_ = std::move(classes);
  }

  // The schemes (lower case) a request may have on any hop, the first and every redirect; a
  // hop of another scheme fails with kUnsupportedURL before any protocol class is asked.
  // Empty: any scheme a protocol class or the network takes.
  const std::vector<std::string>& allowedSchemes() const { return allowedSchemes_; }
  void setAllowedSchemes(std::vector<std::string> schemes) { allowedSchemes_ = std::move(schemes); }

  // Requests in flight to one host (scheme, host and port) at a time; at least 1 and at most
  // kMaximumConnectionsPerHost, more than any server grants one client.
  static constexpr int kMaximumConnectionsPerHost = 1024;
  int httpMaximumConnectionsPerHost() const { return maximumConnectionsPerHost_; }
  void setHTTPMaximumConnectionsPerHost(int count) {
    maximumConnectionsPerHost_ = std::clamp(count, 1, kMaximumConnectionsPerHost);
  }

  // Seconds without any data arriving or leaving before a request fails with a time-out
  // (unless the request has a time-out of its own), and seconds a whole task may take. A
  // session takes a value that is not a positive number as the default, and none longer than
  // a year.
  static constexpr double kDefaultTimeoutIntervalForRequest = 60.0;
  static constexpr double kDefaultTimeoutIntervalForResource = 7 * 24 * 3600.0;
  double timeoutIntervalForRequest() const { return timeoutForRequest_; }
  void setTimeoutIntervalForRequest(double seconds) { timeoutForRequest_ = seconds; }
  double timeoutIntervalForResource() const { return timeoutForResource_; }
  void setTimeoutIntervalForResource(double seconds) { timeoutForResource_ = seconds; }

  // Where cookies of responses are stored and where request cookies come from; none means no
  // cookies at all.
  const std::shared_ptr<HTTPCookieStorage>& httpCookieStorage() const { return cookieStorage_; }
  void setHTTPCookieStorage(std::shared_ptr<HTTPCookieStorage> storage) {
    cookieStorage_ = std::move(storage);
  }
  // Whether requests carry the stored cookies for their URL.
  bool httpShouldSetCookies() const { return shouldSetCookies_; }
  void setHTTPShouldSetCookies(bool value) { shouldSetCookies_ = value; }
  // Never: cookies of responses are not stored at all. Otherwise they go to the cookie store,
  // whose own accept policy decides.
  HTTPCookieAcceptPolicy httpCookieAcceptPolicy() const { return acceptPolicy_; }
  void setHTTPCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) { acceptPolicy_ = policy; }

  // Whether the session follows redirects. When it does not, a redirect response is the
  // task's answer (status 3xx, with its body) and the delegate is not asked.
  bool httpShouldFollowRedirects() const { return followRedirects_; }
  void setHTTPShouldFollowRedirects(bool value) { followRedirects_ = value; }

  // Header fields that carry credentials of the caller's own (an API key, a tag id). On a
  // redirect to another origin they are removed with Authorization, Proxy-Authorization and
  // Cookie; names are compared ignoring ASCII case.
  const std::vector<std::string>& credentialHeaderFields() const { return credentialFields_; }
  void setCredentialHeaderFields(std::vector<std::string> names) {
    credentialFields_ = std::move(names);
  }

 private:
  URLSessionConfiguration() = default;

  HTTPHeaders additionalHeaders_;
  std::vector<URLProtocolClassRef> protocolClasses_;
  std::vector<std::string> allowedSchemes_;
  int maximumConnectionsPerHost_ = 4;
  double timeoutForRequest_ = kDefaultTimeoutIntervalForRequest;
  double timeoutForResource_ = kDefaultTimeoutIntervalForResource;
  std::shared_ptr<HTTPCookieStorage> cookieStorage_;
  bool shouldSetCookies_ = true;
  HTTPCookieAcceptPolicy acceptPolicy_ = HTTPCookieAcceptPolicy::Always;
  bool followRedirects_ = true;
  std::vector<std::string> credentialFields_;
};

}  // namespace platform
