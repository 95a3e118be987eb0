#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A dictionary of shared objects whose every operation holds the wrapper's lock. The lock is
// recursive, so code that already holds it (through `withLock`) may call the wrapper again.
// `allKeys` is a snapshot: iterating it while another thread adds keys is safe, and a value
// looked up afterwards may be gone. An absent value is a null pointer.
template <typename T>
class VLThreadSafeDictionaryWrapper {
 public:
  std::vector<std::string> allKeys() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> keys;
    keys.reserve(dictionary_.size());
    for (const auto& [key, value] : dictionary_) keys.push_back(key);
    return keys;
  }

  std::shared_ptr<T> objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = dictionary_.find(key);
    return it == dictionary_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> valueForKey(const std::string& key) const { return objectForKey(key); }

  // Stores the value; storing null removes the key.
  void setObject(std::shared_ptr<T> value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value)
      dictionary_[key] = std::move(value);
    else
      dictionary_.erase(key);
  }
  void setValue(std::shared_ptr<T> value, const std::string& key) {
    setObject(std::move(value), key);
  }

  // Runs `work` with the lock held, for a look-up and an insertion that must not be split.
  template <typename Work>
  auto withLock(Work&& work) {
    std::lock_guard lock(mutex_);
    return work(*this);
  }

 private:
  mutable std::recursive_mutex mutex_;
  std::map<std::string, std::shared_ptr<T>> dictionary_;
};
