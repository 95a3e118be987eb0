#pragma once

#include <string>
#include <utility>

#include "platform/net/URLResponse.h"

// A response and its body, as the cache serves a resource.
class VLWebResponse {
 public:
  VLWebResponse(platform::URLResponse response, std::string data)
      : response_(std::move(response)), data_(std::move(data)) {}

  const platform::URLResponse& response() const { return response_; }
  const std::string& data() const& { return data_; }
  // A response on its way out gives its body up instead of copying it, and its response.
  std::string data() && { return std::move(data_); }
  platform::URLResponse takeResponse() { return std::move(response_); }

 private:
  platform::URLResponse response_;
  std::string data_;
};
