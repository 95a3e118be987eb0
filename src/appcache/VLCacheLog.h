#pragma once

#include <string>

#include "shell/VLLogger.h"

// The cache's own log lines, all under the module "VLCache". The shared logger is looked up on
// every call, so lines written before the logger plugin has set its engine are dropped and
// later ones are not.
namespace vlcache {

inline constexpr const char* kLogModule = "VLCache";

inline void logDebug(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logDebug(message, kLogModule);
}
inline void logWarning(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logWarning(message, kLogModule);
}
inline void logError(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logError(message, kLogModule);
}
inline void logError(const std::string& message, const VLException& exception) {
  if (auto logger = VLLogger::sharedInstance())
    logger->logErrorWithException(message, kLogModule, &exception);
}

}  // namespace vlcache
