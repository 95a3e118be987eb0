#include "plugins/http/VLHttpCommandArgs.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPHeaders.h"

namespace {

// White space and new lines at both ends.
std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t start = text.find_first_not_of(blanks);
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

std::optional<std::string> stringOf(const platform::Value& value) {
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

std::string missing(const char* parameter) {
  return platform::stringf("Missing/invalid value for parameter %s", parameter);
}

}  // namespace

VLSendRequestCommandArgs VLSendRequestCommandArgs::tryGet(const platform::Value& requestId,
                                                          const platform::Value& url,
                                                          const platform::Value& method,
                                                          const platform::Value& timeout,
                                                          const platform::Value& headers,
                                                          const std::optional<std::string>& body,
                                                          const std::optional<platform::URL>& baseUrl) {
  VLSendRequestCommandArgs args;
  args.requestId = stringOf(requestId);
  auto fail = [&args](std::string message) {
    args.errorMessage = std::move(message);
    return args;
  };
  if (!args.requestId || trimmed(*args.requestId).empty()) return fail(missing("requestId"));
  auto urlText = stringOf(url);
  if (!urlText || trimmed(*urlText).empty()) return fail(missing("url"));
  auto methodText = stringOf(method);
  if (!methodText || trimmed(*methodText).empty()) return fail(missing("method"));
  std::string lowerMethod = platform::asciiLower(trimmed(*methodText));
  if (lowerMethod != "get" && lowerMethod != "post") return fail("HTTP method must be GET or POST");
  if (!timeout.is_number() && !timeout.is_boolean()) return fail(missing("timeout"));
  double milliseconds = timeout.is_boolean() ? (timeout.get<bool>() ? 1 : 0) : timeout.get<double>();
  if (milliseconds < 0) return fail(missing("timeout"));

  if (headers.is_object()) {
    for (const auto& [name, value] : headers.items()) {
      if (platform::asciiLower(trimmed(name)).empty()) return fail("Invalid value for header name");
      // A name or value that could split the header block never reaches the wire; a value
      // that is not a string has no text to send.
      if (!platform::isHTTPToken(name)) return fail("Invalid value for header name");
      if (!value.is_string() || !platform::isValidHTTPHeaderField(name, value.get<std::string>()))
        return fail("Invalid value for header " + name);
    }
  }

  std::string target = trimmed(*urlText);
  std::optional<platform::URL> resolved;
  if (baseUrl) {
    resolved = baseUrl->resolve(target);
  } else {
    resolved = platform::URL::parse(target);
    if (resolved && !resolved->isAbsolute() && resolved->host().empty()) resolved.reset();
  }
  if (!resolved) return fail("Resolved URL is invalid");
  // Only the web is reached from here: no files, no custom schemes.
  std::string scheme = platform::asciiLower(resolved->scheme());
  if ((scheme != "http" && scheme != "https") || resolved->host().empty())
    return fail("Only http and https URLs are supported");

  args.isValid = true;
  args.method = lowerMethod == "post" ? VLHttpRequestMethodPost : VLHttpRequestMethodGet;
  args.url = *resolved;
  args.timeout = milliseconds;
  args.headers = headers.is_object() ? headers : platform::Value::object();
  if (args.method == VLHttpRequestMethodPost) args.body = body.value_or("");
  return args;
}

VLAbortRequestCommandArgs VLAbortRequestCommandArgs::tryGet(const platform::Value& requestId) {
  VLAbortRequestCommandArgs args;
  args.requestId = stringOf(requestId);
  if (!args.requestId || trimmed(*args.requestId).empty()) {
    args.errorMessage = missing("requestId");
    return args;
  }
  args.isValid = true;
  return args;
}

platform::Value VLHttpResultUtil::successPayload(const std::optional<std::string>& requestId,
                                                 platform::Value data) {
  return {{"requestId", requestId ? platform::Value(*requestId) : platform::Value()},
          {"data", std::move(data)},
          {"error", nullptr}};
}

platform::Value VLHttpResultUtil::errorPayload(const std::optional<std::string>& requestId, std::int32_t errorCode,
                                               const std::string& errorMessage) {
  return {{"requestId", requestId ? platform::Value(*requestId) : platform::Value()},
          {"data", nullptr},
          {"error", errorDetail(errorCode, errorMessage)}};
}

platform::Value VLHttpResultUtil::errorDetail(std::int32_t errorCode, const std::string& errorMessage) {
  return {{"errorCode", errorCode}, {"errorMessage", errorMessage}};
}
