#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/NotificationCenter.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "platform/net/URLSession.h"
#include "shell/VLDeviceInfo.h"

// Sends the legacy records of info and above to the platform server's log endpoint, in
// chunks posted as one JSON array each, in the order they were logged.
//
// It backs off by itself: the next send waits 1.5^min(failures, 20) seconds plus the flush
// interval. After five failed sends in a row it stops sending and pings the server, with the
// same back-off, until the server answers; then sending resumes. When the device is offline
// a send fails at once, without a request, and counts as a failure. Going offline keeps every
// record; coming back online resets the back-off and sends at once.
//
// A failed chunk goes back to the front of the buffer, so the order holds and the cap of 1000
// waiting records keeps the oldest. A send fails unless the server answers 200; redirects are
// not followed. A chunk the server refuses for good (a 4xx other than 401, 403, 408 and 429)
// is dropped, or sent again in halves for 413, 400 and 422, and after kChunkAttemptLimit failed
// sends in a row the chunk at the front is dropped, with one line on the process log. Every record stays in the log store until a send of it
// succeeds, so a restart loses none. Its own messages go to the process log only: through the
// logger they would be sent to the server again, without end.
class VLRoruvServerOutput : public roruv::RRVBufferedOutput {
 public:
  static constexpr std::int64_t kRetryLimit = 5;
  static constexpr size_t kBufferCap = 1000;
  static constexpr int kLongestDelayExponent = 20;
  // Failed sends in a row (pings in between or not) after which the chunk is dropped.
  static constexpr std::int64_t kChunkAttemptLimit = 10;

  ~VLRoruvServerOutput() override;

  void configure(const roruv::RRVSettings& settings) override;

  // Seconds before the next send after `count` failures.
  double calculateRetryTime(std::int64_t count) const;
  // "https://<host>/<path>/moduleservices/log?clientTimeInMillis=<ms>".
  static std::string getRestAPIUrl(const std::string& hostname, const std::string& applicationUrl,
                                   std::int64_t clientTimeInMillis);
  static platform::Value getBufferLogsFromOutputChunk(const roruv::RRVChunk& chunk);

  std::int64_t pingRequestRetryCount() const { return pingRequestRetryCount_; }
  bool isPinging() const;
  // Reacts to the object of a "VLNetworkChangedNotification".
  void networkDidChanged(const platform::Value& networkState);
  // Whether the device is online now; the device information says so unless a test decides.
  void setConnectivityCheck(std::function<bool()> check);

 protected:
  void setUpTimer() override;
  void callWriteChunk(const std::shared_ptr<roruv::RRVChunk>& chunk) override;
  void writeChunk(const std::shared_ptr<roruv::RRVChunk>& chunk, Completion completion) override;
  void didWriteChunk(const std::shared_ptr<roruv::RRVChunk>& chunk, bool success) override;
  bool reachedRetryLimit() override { return retryCount() >= kRetryLimit; }
  void truncateBufferedLogs() override;

 private:
  void setUpPingTimer();
  void requestPing();
  void stopPinging();
  bool isConnected();
  std::shared_ptr<platform::URLSession> urlSession();
  // Runs `work` on this output on the main loop, if it is still alive then.
  void onMain(void (VLRoruvServerOutput::*work)());

  std::string hostname_;
  std::string applicationUrl_;
  std::string deviceUUID_;
  std::shared_ptr<VLDeviceInfo> deviceInfo_;
  std::atomic<std::int64_t> pingRequestRetryCount_{0};
  std::atomic<std::int64_t> sendFailures_{0};
  std::optional<platform::NotificationCenter::Token> observer_;

  mutable std::mutex mutex_;
  std::shared_ptr<roruv::RRVScheduler::Timer> pingTimer_;
  bool pingInFlight_ = false;
  std::function<bool()> connectivityCheck_;
  std::shared_ptr<platform::URLSession> urlSession_;
};
