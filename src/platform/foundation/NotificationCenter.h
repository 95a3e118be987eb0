#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

struct Notification {
  std::string name;
  // Identity of the posting object, compared against an observer's sender filter.
  const void* sender = nullptr;
  // The notification's object as a value (a URL string, a dictionary, ...), null when none.
  Value object;
  Value userInfo;
};

// Synchronous delivery on the posting thread, in order of registration.
// Observers are removed by token, or all at once by the owner they were registered with.
class NotificationCenter {
 public:
  using Token = std::uint64_t;
  using Callback = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  // `name` empty observes every name; `sender` nullptr accepts any sender.
  // `owner` groups observers so that `removeObserver(owner)` drops all of them.
  Token addObserver(const void* owner, const std::string& name, const void* sender, Callback callback);
  void removeObserver(Token token);
  void removeObserver(const void* owner);
  void removeObserver(const void* owner, const std::string& name);

  void post(const std::string& name, const void* sender = nullptr, Value object = nullptr,
            Value userInfo = nullptr);
  void post(const Notification& notification);

 private:
  struct Entry {
    Token token;
    const void* owner;
    std::string name;
    const void* sender;
    std::shared_ptr<Callback> callback;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  Token next_ = 1;
};

}  // namespace platform
