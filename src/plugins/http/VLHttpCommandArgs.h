#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

enum VLHttpRequestMethod : std::int32_t { VLHttpRequestMethodGet = 1, VLHttpRequestMethodPost = 2 };

// The checked arguments of one send. Built only by `tryGet`, which stops at the first failed
// check and keeps its message.
struct VLSendRequestCommandArgs {
  bool isValid = false;
  std::int32_t method = 0;
  std::optional<std::string> requestId;  // exactly as passed, even when invalid
  platform::URL url;
  double timeout = 0;  // milliseconds
  platform::Value headers = platform::Value::object();
  std::optional<std::string> body;  // POST only
  std::optional<std::string> errorMessage;

  static VLSendRequestCommandArgs tryGet(const platform::Value& requestId, const platform::Value& url,
                                         const platform::Value& method, const platform::Value& timeout,
                                         const platform::Value& headers, const std::optional<std::string>& body,
                                         const std::optional<platform::URL>& baseUrl);
};

struct VLAbortRequestCommandArgs {
  bool isValid = false;
  std::optional<std::string> requestId;
  std::optional<std::string> errorMessage;

  static VLAbortRequestCommandArgs tryGet(const platform::Value& requestId);
};

// The payloads every request is answered with.
class VLHttpResultUtil {
 public:
  static platform::Value successPayload(const std::optional<std::string>& requestId, platform::Value data);
  static platform::Value errorPayload(const std::optional<std::string>& requestId, std::int32_t errorCode,
                                      const std::string& errorMessage);
  static platform::Value errorDetail(std::int32_t errorCode, const std::string& errorMessage);
};

// Error codes in "errorCode".
inline constexpr std::int32_t VLHttpErrorInvalidArgument = 1;
inline constexpr std::int32_t VLHttpErrorTimedOut = 2;
inline constexpr std::int32_t VLHttpErrorTransport = 3;
