#include "appcache/VLCacheClock.h"

#include <chrono>
#include <mutex>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/MainLoop.h"

namespace {

// The main loop's timers, as every delay of the shell; each task runs on the global queue, so
// a slow task never delays the next.
class SystemClock : public VLCacheClock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void after(double seconds, std::function<void()> task) override {
    platform::MainLoop::postAfter(seconds > 0 ? seconds : 0, [task = std::move(task)]() mutable {
      platform::DispatchQueue::global().async(std::move(task));
    });
  }
};

std::mutex clockMutex;

std::shared_ptr<VLCacheClock>& systemClock() {
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
