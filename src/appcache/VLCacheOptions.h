#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/Value.h"

// The options a page gives a cache download, checked and bounded before any of them reaches a
// URL session: a value of the wrong type is ignored with a log line, and a number beyond what
// a session can use is brought into range (a connection count or time-out near the limits of
// an integer would overflow the session's arithmetic).
struct VLCacheOptions {
  static constexpr int kMaximumWindowSize = 64;
  static constexpr double kMaximumTimeoutSeconds = 7 * 24 * 3600.0;
  static constexpr std::int64_t kMaximumRetries = 1000000;

  // Connections per host ("windowSize"), 1 to kMaximumWindowSize.
  std::optional<int> windowSize;
  // Whole seconds ("resourceConnectTimeout", "resourceReadTimeout"), 0 to the maximum.
  std::optional<double> resourceConnectTimeout;
  std::optional<double> resourceReadTimeout;
  // The frame's retry budget ("maxNumberOfRetries"); a negative value is ignored.
  std::optional<std::int64_t> maxNumberOfRetries;

  // Reads an options object; null or anything else than an object gives no options.
  static VLCacheOptions fromValue(const platform::Value& options);

  // The frame's retry budget for a list of `resourceCount` resources: the configured one when
  // there is one (not -1), else a fifth of the count, never below 10.
  static std::int64_t calculateMaxNumberOfRetries(std::int64_t configured,
                                                  std::int64_t resourceCount);
  // Whether a progress report is one at which the download's finished entries are made
  // durable: halfway through what was left to fetch when the download started, and at each
  // further half (so a download resumed at 40 of 100 checkpoints at 70).
  static bool isCheckpoint(std::int64_t initial, std::int64_t processed, std::int64_t total);
};
