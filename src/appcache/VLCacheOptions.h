#pragma once

#include <cstddef>
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
  // A page may ask for this many retries at most: each one is a request to the server.
  static constexpr std::int64_t kMaximumRetries = 100;
  // The most entries (listed resources and mappings together) one version may have, in a
  // packaged manifest or a page's start: every entry costs memory and time at each start.
  static constexpr std::size_t kMaximumManifestEntries = 20000;
  // A running download is made durable every this many finished resources (or each
  // kCheckpointShare-th part of a larger download, so a big version does not rewrite the
  // manifest file at every few files), and after this many seconds once a resource has
  // finished since the last time.
  static constexpr std::int64_t kCheckpointEveryResources = 20;
  static constexpr std::int64_t kCheckpointShare = 20;
  static constexpr double kCheckpointIntervalSeconds = 5;

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
  // Whether a progress report makes a checkpoint: the halfway ones above, and any report
  // while resources remain once that many resources (above) have finished or
  // kCheckpointIntervalSeconds have passed since the last checkpoint (or the start), at
  // `lastProcessed` finished resources.
  static bool isCheckpointDue(std::int64_t initial, std::int64_t processed, std::int64_t total,
                              std::int64_t lastProcessed, double secondsSinceLast);
};
