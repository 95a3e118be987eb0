#include "host/HBRBatchDecoder.h"

#include <pthread.h>

#include <chrono>
#include <thread>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/SignalStack.h"

HBRBatchDecoder& HBRBatchDecoder::shared() {
  // Never destroyed: a batch may still be decoding while static objects are torn down.
  static HBRBatchDecoder* decoder = new HBRBatchDecoder();
  return *decoder;
}

HBRBatchDecoder::HBRBatchDecoder() { std::thread([this] { run(); }).detach(); }

void HBRBatchDecoder::decode(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  work_.notify_one();
}

void HBRBatchDecoder::dispose(Spent spent, bool soon) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spent.empty()) spent_.push_back(std::move(spent));
    // Within a burst, freeing can wait for the next batch: waking the thread for it would take
    // the processor from the main thread on a busy machine.
    wake = !spent_.empty() && (soon || spent_.size() > kMaxWaitingHandOvers);
  }
  if (wake) work_.notify_one();
}

void HBRBatchDecoder::releaseMemoryOnceQuiet() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    releaseDue_ = true;
  }
  work_.notify_one();
}

void HBRBatchDecoder::run() {
  platform::ensureAlternateSignalStack();
  // Named, so that a profile or a crash report tells its work from the main thread's.
  pthread_setname_np(pthread_self(), "batch-decoder");

  std::unique_lock<std::mutex> lock(mutex_);
  auto busy = [&] { return !jobs_.empty() || !spent_.empty(); };
  while (true) {
    // Decoding comes first: commands wait for it. Freeing waits unless too much is waiting.
    if (!jobs_.empty() && spent_.size() <= kMaxWaitingHandOvers) {
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      try {
        job();
      } catch (...) {
        platform::reportCaughtException("The batch decoder");
      }
      job = nullptr;
      lock.lock();
      continue;
    }
    if (!spent_.empty()) {
      Spent spent = std::move(spent_.front());
      spent_.pop_front();
      lock.unlock();
      spent = Spent();
      lock.lock();
      continue;
    }
    if (releaseDue_) {
      if (work_.wait_for(lock, std::chrono::duration<double>(kQuietSeconds), busy)) continue;
      releaseDue_ = false;
      lock.unlock();
      platform::MainLoop::releaseFreedMemory();
      lock.lock();
      continue;
    }
    work_.wait(lock, [&] { return busy() || releaseDue_; });
  }
}
