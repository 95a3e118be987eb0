#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaders.h"

namespace platform {

// A response's metadata: a plain URL response (a file, a media answer) or an HTTP one with a
// status and header fields. Header lookups ignore ASCII case.
class URLResponse {
 public:
  URLResponse() = default;
  // A plain, non-HTTP response.
  URLResponse(URL url, std::string mimeType, std::optional<std::int64_t> expectedContentLength,
              std::optional<std::string> textEncodingName)
      : url_(std::move(url)),
        mimeType_(std::move(mimeType)),
        expectedContentLength_(expectedContentLength),
        textEncodingName_(std::move(textEncodingName)) {}
  // An HTTP response ("HTTP/1.1" unless told otherwise). The MIME type and text encoding
  // come from the "Content-Type" field.
  static URLResponse http(URL url, int statusCode, HTTPHeaders headerFields,
                          std::string httpVersion = "HTTP/1.1");

  bool isHTTP() const { return isHTTP_; }
  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }
  const std::string& mimeType() const { return mimeType_; }
  std::optional<std::int64_t> expectedContentLength() const { return expectedContentLength_; }
  const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
  int statusCode() const { return statusCode_; }
  const std::string& httpVersion() const { return httpVersion_; }
  const HTTPHeaders& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;

  // The reason phrase of an HTTP status ("not found"), lower case as the platform gives it.
  static std::string localizedStringForStatusCode(int statusCode);

 private:
  bool isHTTP_ = false;
  URL url_;
  std::string mimeType_;
  std::optional<std::int64_t> expectedContentLength_;
  std::optional<std::string> textEncodingName_;
  int statusCode_ = 0;
  std::string httpVersion_;
  HTTPHeaders headers_;
};

}  // namespace platform
