#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

// A table of named factories: the stand-in for looking a class up by its name at run time.
// `Factory` is the signature of the class's initialiser, e.g.
// `std::shared_ptr<Object>(std::shared_ptr<Engine>)`. Names are exact (case-sensitive).
template <typename Factory>
class ClassRegistry {
 public:
  static ClassRegistry& shared() {
    static ClassRegistry registry;
    return registry;
  }

  void registerClass(const std::string& name, std::function<Factory> factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    factories_[name] = std::move(factory);
  }

  // Registers `name` unless a class of that name is already known: a program that registered
  // its own class under a built-in name keeps it.
  void registerClassIfAbsent(const std::string& name, std::function<Factory> factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    factories_.try_emplace(name, std::move(factory));
  }

  void unregisterClass(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    factories_.erase(name);
  }

  bool hasClass(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return factories_.count(name) != 0;
  }

  std::function<Factory> factory(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = factories_.find(name);
    if (it == factories_.end()) return {};
    return it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::function<Factory>> factories_;
};

}  // namespace platform
