#include "appcache/VLCacheOptions.h"

#include <algorithm>
#include <cmath>

#include "appcache/VLCacheLog.h"

namespace {

// The integer value of a number option (a fraction is cut toward zero), or none with a log
// line when it is not a finite number.
std::optional<double> integerOption(const platform::Value& options, const char* key) {
  auto it = options.find(key);
  if (it == options.end()) return std::nullopt;
  if (!it->is_number() || !std::isfinite(it->get<double>())) {
    vlcache::logError(std::string("Ignoring the cache option \"") + key + "\": not a number");
    return std::nullopt;
  }
  return std::trunc(it->get<double>());
}

}  // namespace

VLCacheOptions VLCacheOptions::fromValue(const platform::Value& options) {
  VLCacheOptions out;
  if (!options.is_object()) {
    if (!options.is_null()) vlcache::logError("Ignoring the cache options: not an object");
    return out;
  }
  if (auto value = integerOption(options, "windowSize"))
    out.windowSize = static_cast<int>(std::clamp(*value, 1.0, double(kMaximumWindowSize)));
  if (auto value = integerOption(options, "resourceConnectTimeout"))
    out.resourceConnectTimeout = std::clamp(*value, 0.0, kMaximumTimeoutSeconds);
  if (auto value = integerOption(options, "resourceReadTimeout"))
    out.resourceReadTimeout = std::clamp(*value, 0.0, kMaximumTimeoutSeconds);
  if (auto value = integerOption(options, "maxNumberOfRetries"); value && *value >= 0)
    out.maxNumberOfRetries = static_cast<std::int64_t>(std::min(*value, double(kMaximumRetries)));
  return out;
}

std::int64_t VLCacheOptions::calculateMaxNumberOfRetries(std::int64_t configured,
                                                         std::int64_t resourceCount) {
  if (configured != -1) return configured;
  std::int64_t fifth = static_cast<std::int64_t>(resourceCount * 0.2);
  return fifth <= 10 ? 10 : fifth;
}

bool VLCacheOptions::isCheckpoint(std::int64_t initial, std::int64_t processed,
                                  std::int64_t total) {
  if (!(initial < processed && processed < total)) return false;
  std::int64_t half = static_cast<std::int64_t>((total - initial) * 0.5);
  return half != 0 && (processed - initial) % half == 0;
}

bool VLCacheOptions::isCheckpointDue(std::int64_t initial, std::int64_t processed,
                                     std::int64_t total, std::int64_t lastProcessed,
                                     double secondsSinceLast) {
  if (isCheckpoint(initial, processed, total)) return true;
  if (!(initial < processed && processed < total) || processed <= lastProcessed) return false;
  const std::int64_t every = std::max(kCheckpointEveryResources, (total - initial) / kCheckpointShare);
  return processed - lastProcessed >= every || secondsSinceLast >= kCheckpointIntervalSeconds;
}
