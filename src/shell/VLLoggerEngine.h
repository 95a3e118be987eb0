#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// Log levels, passed to the engine as signed 64-bit numbers.
enum VLLogLevel : std::int64_t {
  VLLogLevelTrace = 0,
  VLLogLevelVerbose = 1,
  VLLogLevelDebug = 2,
  VLLogLevelInfo = 3,
  VLLogLevelWarning = 4,
  VLLogLevelError = 5,
  VLLogLevelFatal = 6,
};

// The back end of the logger facade. `extra` and `attributes` are dictionaries of string keys
// to strings, numbers or booleans, or null when there are none; an absent instant means "now".
// An engine's first entry must do what the second does with (instant, message, module, level,
// extra, stack, no trace id, no span id).
class VLLoggerEngine {
 public:
  virtual ~VLLoggerEngine() = default;

  // The entry the facade uses.
  virtual void processLog(const std::string& message, const std::string& module,
                          const std::optional<std::string>& stack, std::int64_t level,
                          const platform::Value& extra,
                          const std::optional<std::string>& instant) = 0;
  // The entry that carries trace context; `source` is the module name.
  virtual void processLog(const std::optional<std::string>& instant, const std::string& message,
                          const std::string& source, std::int64_t level,
                          const platform::Value& attributes,
                          const std::optional<std::string>& stack,
                          const std::optional<std::string>& traceId,
                          const std::optional<std::string>& spanId) = 0;
};
