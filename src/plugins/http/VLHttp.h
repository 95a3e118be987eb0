#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "plugins/http/VLHttpRequester.h"

class VLLoggerProtocol;

// Checks the page's arguments, hands valid requests to the requester and turns its outcome
// into the plugin's payloads. Exactly one handler is called once per request, except for a
// cancelled request, which gets neither.
class VLHttp {
 public:
  using PayloadHandler = std::function<void(platform::Value payload)>;

  VLHttp(std::shared_ptr<VLHttpRequesterProtocol> requester, std::shared_ptr<VLLoggerProtocol> logger);

  void sendRequest(const platform::Value& requestId, const platform::Value& url, const platform::Value& method,
                   const platform::Value& headers, const platform::Value& timeout,
                   const std::optional<std::string>& body, const std::optional<platform::URL>& baseUrl,
                   bool responseBodyIsText, PayloadHandler successHandler, PayloadHandler errorHandler);
  void abortRequest(const platform::Value& requestId, PayloadHandler successHandler, PayloadHandler errorHandler);
  // Cancels every running request; none of them answers.
  void onReset();

  // The "data" object of a completed request.
  static platform::Value responseData(const std::optional<std::string>& data, const platform::URLResponse& response,
                                      bool responseBodyIsText);

  const std::shared_ptr<VLHttpRequesterProtocol>& requester() const { return requester_; }

 private:
  std::shared_ptr<VLHttpRequesterProtocol> requester_;
  std::shared_ptr<VLLoggerProtocol> logger_;
};
