#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "platform/net/URLSession.h"
#include "shell/VLApplicationInfo.h"
#include "shell/VLDeviceInfo.h"
#include "shell/VLTagIdManager.h"

// Sends the OTLP log records of info and above to the platform server, one OpenTelemetry
// logs export request (OTLP over HTTP, JSON) per chunk, authenticated by the logging tag id.
// When the server refuses a cached tag id (401 or 403) the id is dropped, a new one fetched
// and the chunk sent once more. A chunk refused for good (413, 400 or 422: sent again in
// halves; any other 4xx but 408 and 429: dropped) is reported once on the process log;
// redirects are not followed and count as failures (VLLogRequests).
//
// Its buffer settings are its own whatever the pipeline passes: a flush every 15 s, 100 logs
// a chunk, 2 retries; at most 1000 logs wait, the oldest kept. Its own messages go to the
// process log only: through the logger they would be sent to the server again, without end.
class VLRoruvOtlpOutput : public roruv::RRVBufferedOutput {
 public:
  static constexpr const char* kErrorDomain = "VLRoruvOtlpOutputErrorDomain";
  static constexpr const char* kTagIdManagerKey = "kTagIdManager";
  static constexpr double kFlushInterval = 15;
  static constexpr int kLogLimit = 100;
  static constexpr int kMaxRetryCount = 2;
  static constexpr int kAttemptLimit = 2;
  static constexpr size_t kBufferCap = 1000;

  using SuccessHandler = std::function<void()>;
  using FailureHandler = std::function<void(bool retryable, const platform::Error& error)>;

  void configure(const roruv::RRVSettings& settings) override;

  // One write of `payload`: a tag id, the request, and on a refused cached id one more try
  // with a fresh id while `attemptLimit` allows. When the server refuses the logs for good
  // (a 4xx other than 401, 403, 408 and 429), `refused` hears the status before the
  // completion fails.
  using Refused = std::function<void(int status)>;
  void writeLogs(const platform::Value& payload, int attemptLimit, Completion completion,
                 Refused refused = {});
  void postLogs(const platform::Value& payload, const std::string& tagId, SuccessHandler success,
                FailureHandler failure);

  // The export request's body for a chunk; a record without a usable time is dated when the
  // pipeline took its log.
  platform::Value otlpPayloadFromChunk(const roruv::RRVChunk& chunk) const;
  // The resource attributes: all twelve, a missing value sent as "unknown".
  platform::Value resourceAttributes() const;
  // The dictionary elements of `records`, each brought to the latest version; anything else
  // is dropped.
  static platform::Value migrateLogsToLatestVersion(const platform::Value& records);
  // Without "name", with "observedTimeUnixNano" (from "timeUnixNano" when missing), and with
  // its 64-bit numbers written as strings of digits, as the OTLP JSON encoding has them.
  static platform::Value migrateLogToLatestVersion(const platform::Value& record);

  // The user-info key of a failure's HTTP status (absent when there was no answer).
  static constexpr const char* kStatusCodeKey = "VLHTTPStatusCode";

  // "https://<host>/<path>/v2/logs".
  std::string buildUrl() const;
  std::shared_ptr<platform::URLSession> urlSession();

 protected:
  void writeChunk(const std::shared_ptr<roruv::RRVChunk>& chunk, Completion completion) override;
  void truncateBufferedLogs() override;

 private:
  std::string hostname_;
  std::string applicationUrl_;
  std::string applicationKey_;
  std::string environmentKey_;
  std::string tenantKey_;
  std::optional<std::string> userAgent_;
  std::shared_ptr<VLApplicationInfoProtocol> applicationInfo_;
  std::shared_ptr<VLDeviceInfo> deviceInfo_;
  std::shared_ptr<VLTagIdManager> tagIdManager_;
  std::mutex sessionMutex_;
  std::shared_ptr<platform::URLSession> urlSession_;
};
