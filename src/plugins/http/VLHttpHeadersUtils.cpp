#include "plugins/http/VLHttpHeadersUtils.h"

#include <array>
#include <string_view>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"

namespace {

// An entry ending in "-" is a prefix; every other entry is a whole name.
constexpr std::array<std::string_view, 23> kForbiddenRequestHeaders = {
    "accept-charset", "accept-encoding", "access-control-request-headers",
    "access-control-request-method", "connection", "content-length", "cookie", "cookie2",
    "date", "dnt", "expect", "host", "keep-alive", "origin", "proxy-", "sec-", "referer", "te",
    "trailer", "transfer-encoding", "upgrade", "user-agent", "via"};

}  // namespace

bool VLHttpHeadersUtils::isForbiddenRequestHeader(std::string_view name) {
  std::string lower = platform::asciiLower(name);
  for (std::string_view entry : kForbiddenRequestHeaders) {
    if (entry.back() == '-' ? platform::startsWith(lower, entry) : lower == entry) return true;
  }
  return false;
}

platform::HTTPHeaders VLHttpHeadersUtils::processRequestHeaders(const platform::Value& headers) {
  platform::HTTPHeaders out;
  if (!headers.is_object()) return out;
  for (const auto& [name, value] : headers.items()) {
    if (value.is_string() && !isForbiddenRequestHeader(name)) out.emplace_back(name, value.get<std::string>());
  }
  return out;
}

platform::HTTPHeaders VLHttpHeadersUtils::processRequestHeaders(const platform::HTTPHeaders& headers) {
  platform::HTTPHeaders out;
  for (const auto& field : headers)
    if (!isForbiddenRequestHeader(field.first)) out.push_back(field);
  return out;
}

platform::Value VLHttpHeadersUtils::processResponseHeaders(const platform::HTTPHeaders& headers) {
  platform::Value out = platform::Value::object();
  for (const auto& [name, value] : headers) {
    std::string lower = platform::replacingInvalidUTF8(platform::asciiLower(name));
    if (lower == "set-cookie" || lower == "set-cookie2") continue;
    std::string text = platform::replacingInvalidUTF8(value);
    auto it = out.find(lower);
    if (it != out.end())
      *it = it->get<std::string>() + ", " + text;
    else
      out[lower] = std::move(text);
  }
  return out;
}
