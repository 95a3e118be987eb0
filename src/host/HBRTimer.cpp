#include "host/HBRTimer.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

void HBRTimerItem::log() const {
  platform::log(platform::stringf("[HBRTimer][%s] %fms", name.c_str(), (ended - started) * 1000.0));
}

HBRTimer& HBRTimer::sharedInstance() {
  static HBRTimer timer;  // thread-safe initialisation, once per process
  return timer;
}

void HBRTimer::add(const std::string& name) {
  std::string key = platform::asciiLower(name);
  if (items_.count(key)) {
    platform::log(platform::stringf("Timer called '%s' already exists.", name.c_str()));
    return;
  }
  items_[key] = HBRTimerItem{name, platform::wallClockSeconds(), 0};
}

void HBRTimer::remove(const std::string& name) {
  auto it = items_.find(platform::asciiLower(name));
  if (it == items_.end()) {
    platform::log(platform::stringf("Timer called '%s' does not exist.", name.c_str()));
    return;
  }
  it->second.ended = platform::wallClockSeconds();
  it->second.log();
  items_.erase(it);
}
