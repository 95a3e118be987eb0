#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class HBRPluginResult;

// The one object through which a plugin talks back to the host. Results and evaluations may
// be sent from any thread.
class HBRCommandDelegate {
 public:
  using URLTransformer = std::function<platform::URL(const platform::URL&)>;

  virtual ~HBRCommandDelegate() = default;

  virtual std::optional<std::string> pathForResource(const std::string& resourcePath) = 0;
  virtual std::shared_ptr<platform::Object> getCommandInstance(const std::string& pluginName) = 0;
  // A null result is delivered as "no result" with a null message.
  virtual void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                                const std::optional<std::string>& callbackId) = 0;
  virtual void evalJs(const std::string& js) = 0;
  virtual void evalJs(const std::string& js, bool scheduledOnRunLoop) = 0;
  virtual void runInBackground(std::function<void()> block) = 0;
  // The host's settings dictionary itself (lower-cased keys): what a plugin writes there, the
  // host and every other plugin read. Main thread only, like the host.
  virtual platform::Value& settings() = 0;
  virtual URLTransformer urlTransformer() const = 0;
  virtual void setUrlTransformer(URLTransformer transformer) = 0;
};
