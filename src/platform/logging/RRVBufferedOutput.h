#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/foundation/MainLoop.h"
#include "platform/logging/RRVLogStore.h"
#include "platform/logging/RRVOutput.h"

namespace roruv {

inline constexpr const char* RRVBufferedOutputSettingsFlushIntervalKey =
    "RRVBufferedOutputSettingsFlushIntervalKey";
inline constexpr const char* RRVBufferedOutputSettingsLogLimitKey =
    "RRVBufferedOutputSettingsLogLimitKey";
inline constexpr const char* RRVBufferedOutputSettingsMaxRetryCountKey =
    "RRVBufferedOutputSettingsMaxRetryCountKey";

// Posted with the output as sender after every finished write of a chunk, and after every
// successful one once its logs have left the store.
inline constexpr const char* RRVBufferedOutputDidTryWriteChunkNotification =
    "RRVBufferedOutputDidTryWriteChunkNotification";
inline constexpr const char* RRVBufferedOutputDidSuccessWriteChunkNotification =
    "RRVBufferedOutputDidSuccessWriteChunkNotification";

// Collects logs and writes them in chunks of at most `logLimit` logs. Every log is in the log
// store from the moment it arrives until a write of it succeeds, and buffered logs of an
// earlier launch come back at `start`, so neither a failure nor a restart loses one.
//
// A flush timer on the main loop (`flushInterval` after the first waiting log) calls `tick`,
// which writes one chunk from the front of the buffer on a worker of the global queue; one
// chunk is in flight at a time. A failed chunk goes back to the front, so the order holds, and
// counts as a retry. Up to `maxRetryCount` retries follow at the flush interval; past it the
// delay doubles with each further failure (at most 64 flush intervals): such a chunk is never
// dropped, it stays in the buffer and in the store until a write succeeds. A success sets the
// count back to 0.
//
// A chunk also ends at kMaximumChunkBytes of records (it holds at least one log). A write may
// mark its chunk refused for good (RRVChunk::refuse) before it fails: that is no failure to
// back off from. A chunk refused as a whole leaves the buffer and the store with one line on
// the process log; a chunk refused for its size or one of its logs goes back to the front and
// its logs are written again in chunks of half its length, down to single logs, which are
// dropped when refused in turn. Once they are through, chunks are whole again.
//
// Subclasses write with `writeChunk` and may take over the scheme through the other virtual
// operations; the buffer is theirs to change under `withBuffer`.
// Where a buffered output's timers run. The default schedules one-shot platform timers on the
// main loop, whatever thread asks; tests give a scheduler they fire by hand, so that delays are
// checked without waiting for them.
class RRVScheduler {
 public:
  class Timer {
   public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
  };
  virtual ~RRVScheduler() = default;
  virtual std::shared_ptr<Timer> schedule(double seconds, std::function<void()> fire) = 0;

  static std::shared_ptr<RRVScheduler> mainLoop();
};

class RRVBufferedOutput : public RRVOutput {
 public:
  using Completion = std::function<void(bool success)>;
  static constexpr std::size_t kMaximumChunkBytes = 512 * 1024;

  RRVBufferedOutput();
  ~RRVBufferedOutput() override;

  // Reads the three buffer settings; a missing or unusable value keeps the default (flush
  // every 10 s, 100 logs a chunk, 3 retries).
  void configure(const RRVSettings& settings) override;
  // Takes back the logs an earlier launch left in the store (once), then arms the timer.
  void start() override;
  void emitLog(const std::shared_ptr<RRVLog>& log) override;
  void emitLogs(const RRVLogs& logs) override;

  double flushInterval() const { return flushInterval_; }
  size_t logLimit() const { return logLimit_; }
  std::int64_t maxRetryCount() const { return maxRetryCount_; }
  std::int64_t retryCount() const { return retryCount_; }
  void setRetryCount(std::int64_t count) { retryCount_ = count; }

  const std::shared_ptr<RRVLogStore>& logStore() const { return logStore_; }
  void setLogStore(std::shared_ptr<RRVLogStore> store) { logStore_ = std::move(store); }

  // Runs `work` on the buffer under the output's lock.
  template <typename Work>
  auto withBuffer(Work&& work) {
    std::lock_guard lock(mutex_);
    return work(buffer_);
  }
  size_t bufferedCount();

  // Writes the next chunk (on a worker thread) when none is in flight.
  virtual void tick();

  // The flush timer. A timer that is replaced is stopped.
  std::shared_ptr<RRVScheduler::Timer> timer();
  void setTimer(std::shared_ptr<RRVScheduler::Timer> timer);
  const std::shared_ptr<RRVScheduler>& scheduler() const { return scheduler_; }
  // Set on the thread that made the pipeline, before logs are posted; a timer armed by the
  // scheduler before (for logs of an earlier launch) moves to the new one.
  void setScheduler(std::shared_ptr<RRVScheduler> scheduler);
  // Arms the timer when there are logs and no timer is armed.
  void setUpTimerIfNeeded();

 protected:
  // Arms a one-shot timer on the main loop that calls `tick` after the current delay.
  virtual void setUpTimer();
  // Writes the chunk; its result goes to `didWriteChunk`.
  virtual void callWriteChunk(const std::shared_ptr<RRVChunk>& chunk);
  // A write has finished and the next write may start: a failed chunk is back at the front of
  // the buffer and already counted in `retryCount`. Resets the count after a success, removes
  // written logs from the store and arms the timer.
  virtual void didWriteChunk(const std::shared_ptr<RRVChunk>& chunk, bool success);
  // Sends the chunk; calls `completion` once, on any thread. Extra calls are ignored.
  virtual void writeChunk(const std::shared_ptr<RRVChunk>& chunk, Completion completion) = 0;
  // True once more writes in a row have failed than `maxRetryCount` allows.
  virtual bool reachedRetryLimit();
  // Called after logs were added to the buffer; a subclass may cap it here.
  virtual void truncateBufferedLogs() {}

  // The delay before the next write: the flush interval, longer once the limit is reached.
  double currentDelay();
  // Keeps the oldest `limit` logs: the newer ones leave the buffer and the store.
  void capBuffer(size_t limit);
  // Puts a chunk that was not written back at the front of the buffer, so the order holds,
  // counts it as a failed write when `failed`, and ends its write.
  void returnChunk(const RRVChunk& chunk, bool failed = false);
  void postNotification(const char* name);

 private:
  void writeNextChunk();
  void chunkDidFinish(const std::shared_ptr<RRVChunk>& chunk, bool success);
  // A chunk the server refused for good: dropped, or back at the front to go in halves.
  void chunkWasRefused(const std::shared_ptr<RRVChunk>& chunk);

  double flushInterval_ = 10;
  size_t logLimit_ = 100;
  std::int64_t maxRetryCount_ = 3;
  std::atomic<std::int64_t> retryCount_{0};

  std::shared_ptr<RRVLogStore> logStore_;

  std::mutex mutex_;
  std::deque<std::shared_ptr<RRVLog>> buffer_;
  std::shared_ptr<RRVScheduler> scheduler_ = RRVScheduler::mainLoop();
  std::shared_ptr<RRVScheduler::Timer> timer_;
  bool writing_ = false;
  // A tick has asked a worker for a write that has not started yet.
  bool writeAsked_ = false;
  bool started_ = false;
  // Logs at the front that belong to a refused chunk and go `splitLimit_` at a time.
  std::size_t refusedWaiting_ = 0;
  std::size_t splitLimit_ = 0;
};

}  // namespace roruv
