#include "platform/logging/RRVBufferedOutput.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/logging/RRVLogger.h"

namespace roruv {

namespace {
constexpr std::int64_t kLongestBackOffDoublings = 6;

class MainLoopScheduler final : public RRVScheduler {
  class Handle final : public Timer {
   public:
    explicit Handle(std::shared_ptr<platform::Timer> timer) : timer_(std::move(timer)) {}
    void invalidate() override { timer_->invalidate(); }
    bool isValid() const override { return timer_->isValid(); }

   private:
    std::shared_ptr<platform::Timer> timer_;
  };

 public:
  std::shared_ptr<Timer> schedule(double seconds, std::function<void()> fire) override {
    return std::make_shared<Handle>(platform::Timer::schedule(seconds, false, std::move(fire)));
  }
};
}  // namespace

std::shared_ptr<RRVScheduler> RRVScheduler::mainLoop() {
  static const auto shared = std::make_shared<MainLoopScheduler>();
  return shared;
}

RRVBufferedOutput::RRVBufferedOutput() = default;

RRVBufferedOutput::~RRVBufferedOutput() {
  if (timer_) timer_->invalidate();
}

void RRVBufferedOutput::configure(const RRVSettings& settings) {
  RRVOutput::configure(settings);
  if (auto interval = numberSetting(settings, RRVBufferedOutputSettingsFlushIntervalKey);
      interval && std::isfinite(*interval) && *interval >= 0)
    flushInterval_ = *interval;
  if (auto limit = numberSetting(settings, RRVBufferedOutputSettingsLogLimitKey);
      limit && std::isfinite(*limit) && *limit >= 1)
    logLimit_ = static_cast<size_t>(std::min(*limit, 1e6));
  if (auto retries = numberSetting(settings, RRVBufferedOutputSettingsMaxRetryCountKey);
      retries && std::isfinite(*retries) && *retries >= 0)
    maxRetryCount_ = static_cast<std::int64_t>(std::min(*retries, 1e6));
  if (!logStore_) {
    auto pipeline = logger();
    logStore_ = pipeline ? pipeline->logStore() : RRVLogStore::defaultStore();
  }
}

void RRVBufferedOutput::start() {
  bool first;
  {
    std::lock_guard lock(mutex_);
    first = !started_;
    started_ = true;
  }
  if (first) {
    if (!logStore_) logStore_ = RRVLogStore::defaultStore();
    RRVLogs earlier = logStore_->logsForOutput(storageKey());
    if (!earlier.empty()) {
      std::lock_guard lock(mutex_);
      buffer_.insert(buffer_.begin(), earlier.begin(), earlier.end());
    }
    if (!earlier.empty()) truncateBufferedLogs();
  }
  setUpTimerIfNeeded();
}

void RRVBufferedOutput::emitLog(const std::shared_ptr<RRVLog>& log) { emitLogs({log}); }

void RRVBufferedOutput::emitLogs(const RRVLogs& logs) {
  if (logs.empty()) return;
  if (!logStore_) logStore_ = RRVLogStore::defaultStore();
  RRVLogs stored = logStore_->addLogs(logs, storageKey());
  {
    std::lock_guard lock(mutex_);
    buffer_.insert(buffer_.end(), stored.begin(), stored.end());
  }
  truncateBufferedLogs();
  setUpTimerIfNeeded();
}

size_t RRVBufferedOutput::bufferedCount() {
  std::lock_guard lock(mutex_);
  return buffer_.size();
}

std::shared_ptr<RRVScheduler::Timer> RRVBufferedOutput::timer() {
  std::lock_guard lock(mutex_);
  return timer_;
}

void RRVBufferedOutput::setTimer(std::shared_ptr<RRVScheduler::Timer> timer) {
  std::shared_ptr<RRVScheduler::Timer> replaced;
  {
    std::lock_guard lock(mutex_);
    if (timer_ != timer) replaced = std::move(timer_);
    timer_ = std::move(timer);
  }
  if (replaced) replaced->invalidate();
}

void RRVBufferedOutput::setScheduler(std::shared_ptr<RRVScheduler> scheduler) {
  scheduler_ = std::move(scheduler);
  auto armed = timer();
  if (!armed || !armed->isValid()) return;
  setTimer(nullptr);
  setUpTimerIfNeeded();
}

void RRVBufferedOutput::setUpTimerIfNeeded() {
  {
    std::lock_guard lock(mutex_);
    if (buffer_.empty() || writing_ || writeAsked_ || (timer_ && timer_->isValid())) return;
  }
  setUpTimer();
}

double RRVBufferedOutput::currentDelay() {
  if (!reachedRetryLimit()) return flushInterval_;
  std::int64_t over = std::max<std::int64_t>(1, retryCount_ - maxRetryCount_);
  return flushInterval_ *
         std::ldexp(1.0, static_cast<int>(std::min(over, kLongestBackOffDoublings)));
}

void RRVBufferedOutput::setUpTimer() {
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  auto timer = scheduler_->schedule(currentDelay(), [weak] {
    if (auto self = std::static_pointer_cast<RRVBufferedOutput>(weak.lock())) self->tick();
  });
  setTimer(std::move(timer));
}

void RRVBufferedOutput::tick() {
  std::shared_ptr<RRVScheduler::Timer> pending;
  {
    std::lock_guard lock(mutex_);
    pending = std::move(timer_);
    // Until the worker takes the chunk, the write asked for stands in for a timer.
    writeAsked_ = true;
  }
  // A tick asked for before the timer fired replaces it: one timer at a time.
  if (pending) pending->invalidate();
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  platform::DispatchQueue::global().async([weak] {
    if (auto self = std::static_pointer_cast<RRVBufferedOutput>(weak.lock()))
      self->writeNextChunk();
  });
}

void RRVBufferedOutput::writeNextChunk() {
  std::shared_ptr<RRVChunk> chunk;
  {
    std::lock_guard lock(mutex_);
    writeAsked_ = false;
    if (writing_ || buffer_.empty()) return;
    size_t most = std::min(logLimit_, buffer_.size());
    if (refusedWaiting_ > 0) most = std::min(most, std::max<size_t>(1, splitLimit_));
    size_t count = 1;
    size_t bytes = buffer_.front() ? buffer_.front()->byteSize() : 0;
    for (; count < most; ++count) {
      const auto& next = buffer_[count];
      const size_t size = next ? next->byteSize() : 0;
      if (bytes + size > kMaximumChunkBytes) break;
      bytes += size;
    }
    RRVLogs logs(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    chunk = std::make_shared<RRVChunk>(std::move(logs));
    writing_ = true;
  }
  callWriteChunk(chunk);
}

void RRVBufferedOutput::callWriteChunk(const std::shared_ptr<RRVChunk>& chunk) {
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  try {
    writeChunk(chunk, [weak, chunk, finished](bool success) {
      if (finished->exchange(true)) return;
      if (auto self = std::static_pointer_cast<RRVBufferedOutput>(weak.lock()))
        self->chunkDidFinish(chunk, success);
    });
  } catch (...) {
    // A write that throws has failed; its completion will not come.
    if (!finished->exchange(true)) chunkDidFinish(chunk, false);
  }
}

void RRVBufferedOutput::chunkDidFinish(const std::shared_ptr<RRVChunk>& chunk, bool success) {
  postNotification(RRVBufferedOutputDidTryWriteChunkNotification);
  if (!success && chunk->refusal() != RRVChunk::Refusal::None) {
    chunkWasRefused(chunk);
    return;
  }
  if (success) {
    std::lock_guard lock(mutex_);
    writing_ = false;
    refusedWaiting_ -= std::min(refusedWaiting_, chunk->logs().size());
  } else {
    // A failure is counted before the next write may start: a timer armed for a log that
    // arrives in between then waits out this failure's back-off too.
    returnChunk(*chunk, true);
  }
  didWriteChunk(chunk, success);
}

void RRVBufferedOutput::chunkWasRefused(const std::shared_ptr<RRVChunk>& chunk) {
  const size_t count = chunk->logs().size();
  const bool split = chunk->refusal() == RRVChunk::Refusal::Split && count > 1;
  if (split) {
    {
      std::lock_guard lock(mutex_);
      buffer_.insert(buffer_.begin(), chunk->logs().begin(), chunk->logs().end());
      refusedWaiting_ = std::max(refusedWaiting_, count);
      splitLimit_ = count / 2;
      writing_ = false;
    }
    platform::log(platform::stringf(
        "RRVBufferedOutput: the server refused a chunk of %zu logs for good; they are sent again "
        "%zu at a time.",
        count, count / 2));
    setUpTimerIfNeeded();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    writing_ = false;
    refusedWaiting_ -= std::min(refusedWaiting_, count);
  }
  platform::log(platform::stringf(
      "RRVBufferedOutput: the server refused %zu logs for good; they are dropped.", count));
  if (logStore_) logStore_->removeLogs(chunk->logs(), storageKey());
  setUpTimerIfNeeded();
}

void RRVBufferedOutput::didWriteChunk(const std::shared_ptr<RRVChunk>& chunk, bool success) {
  if (success) {
    retryCount_ = 0;
    logStore_->removeLogs(chunk->logs(), storageKey(), [this] {
      postNotification(RRVBufferedOutputDidSuccessWriteChunkNotification);
    });
  }
  setUpTimerIfNeeded();
}

void RRVBufferedOutput::capBuffer(size_t limit) {
  RRVLogs dropped;
  {
    std::lock_guard lock(mutex_);
    if (buffer_.size() <= limit) return;
    auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(limit);
    dropped.assign(first, buffer_.end());
    buffer_.erase(first, buffer_.end());
  }
  if (logStore_) logStore_->removeLogs(dropped, storageKey());
}

void RRVBufferedOutput::returnChunk(const RRVChunk& chunk, bool failed) {
  // One lock for all: a write that starts in between would take later logs first.
  std::lock_guard lock(mutex_);
  buffer_.insert(buffer_.begin(), chunk.logs().begin(), chunk.logs().end());
  if (failed) ++retryCount_;
  writing_ = false;
}

bool RRVBufferedOutput::reachedRetryLimit() { return retryCount_ > maxRetryCount_; }

void RRVBufferedOutput::postNotification(const char* name) {
  platform::NotificationCenter::defaultCenter().post(name, this);
}

}  // namespace roruv
