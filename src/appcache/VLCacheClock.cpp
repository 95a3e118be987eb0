#include "appcache/VLCacheClock.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/foundation/DispatchQueue.h"

namespace {

// One thread waits for the earliest task and hands each to the global queue when it is due,
// so a slow task never delays the next.
class SystemClock : public VLCacheClock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void after(double seconds, std::function<void()> task) override {
    if (!(seconds > 0)) seconds = 0;
    const auto due = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
    std::lock_guard lock(mutex_);
    tasks_.emplace(due, std::move(task));
    if (!started_) {
      started_ = true;
      std::thread([this] { run(); }).detach();
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (tasks_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = tasks_.begin();
      if (first->first > std::chrono::steady_clock::now()) {
        wake_.wait_until(lock, first->first);
        continue;
      }
      auto task = std::move(first->second);
      tasks_.erase(first);
      platform::DispatchQueue::global().async(std::move(task));
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
  bool started_ = false;
};

std::mutex clockMutex;

std::shared_ptr<VLCacheClock>& systemClock() {
  // Never destroyed: its thread may still be waiting when the process ends.
  static auto* clock = new std::shared_ptr<VLCacheClock>(std::make_shared<SystemClock>());
  return *clock;
}

std::shared_ptr<VLCacheClock>& installedClock() {
  static std::shared_ptr<VLCacheClock> clock;
  return clock;
}

}  // namespace

std::shared_ptr<VLCacheClock> VLCacheClock::shared() {
  std::lock_guard lock(clockMutex);
  return installedClock() ? installedClock() : systemClock();
}

void VLCacheClock::setShared(std::shared_ptr<VLCacheClock> clock) {
  std::lock_guard lock(clockMutex);
  installedClock() = std::move(clock);
}
