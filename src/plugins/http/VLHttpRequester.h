#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLResponse.h"

// What carries out the HTTP plugin's requests.
class VLHttpRequesterProtocol {
 public:
  // Called once per request: (request id, URL, body or none, response or none, error or none).
  using Callback = std::function<void(const std::string& requestId, const platform::URL& url,
                                      const std::optional<std::string>& data,
                                      const std::optional<platform::URLResponse>& response,
                                      const std::optional<platform::Error>& error)>;

  virtual ~VLHttpRequesterProtocol() = default;
  virtual void sendRequest(const std::string& requestId, const platform::URL& url, std::int32_t method,
                           const platform::Value& headers, double timeoutMilliseconds,
                           const std::optional<std::string>& body, Callback callback) = 0;
  virtual void abortRequest(const std::string& requestId, std::function<void()> completion) = 0;
  virtual void abortAllRequests(std::function<void()> completion) = 0;
};
