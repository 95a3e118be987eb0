#include "platform/foundation/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: objects that outlive main (a shared logger and its outputs) still remove
  // their observers when they go at exit.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const void* owner, const std::string& name,
                                                          const void* sender, Callback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  Token token = next_++;
  entries_.push_back({token, owner, name, sender, std::make_shared<Callback>(std::move(callback))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.token == token; });
}

void NotificationCenter::removeObserver(const void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.owner == owner; });
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.owner == owner && e.name == name; });
}

void NotificationCenter::post(const std::string& name, const void* sender, Value object,
                              Value userInfo) {
  post(Notification{name, sender, std::move(object), std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
  // Deliver outside the lock: an observer may post, add or remove observers itself.
  std::vector<std::pair<Token, std::shared_ptr<Callback>>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (!e.name.empty() && e.name != notification.name) continue;
      if (e.sender && e.sender != notification.sender) continue;
      targets.emplace_back(e.token, e.callback);
    }
  }
  for (auto& target : targets) {
    // Not a structured binding: clang 14 (the fuzz build) cannot capture one in a lambda.
    const Token token = target.first;
    const auto& callback = target.second;
    {
      // An observer removed by an earlier observer of the same post is not called.
      std::lock_guard<std::mutex> lock(mutex_);
      bool alive = std::any_of(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.token == token; });
      if (!alive) continue;
    }
    (*callback)(notification);
  }
}

}  // namespace platform
