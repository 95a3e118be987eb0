#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Error.h"

// Hands out the logging tag id that authenticates the OTLP output's requests.
class VLTagIdManager {
 public:
  // `fresh` tells whether the id was just fetched from the server rather than taken from the
  // cache.
  using SuccessHandler = std::function<void(const std::string& tagId, bool fresh)>;
  using FailureHandler = std::function<void(const platform::Error& error)>;

  virtual ~VLTagIdManager() = default;
  // Forgets the cached id (the server refused it), then calls `completion`.
  virtual void invalidateTagIdWithCompletionHandler(std::function<void()> completion) = 0;
  virtual void getTagIdWithSuccessHandler(SuccessHandler success, FailureHandler failure) = 0;
};
