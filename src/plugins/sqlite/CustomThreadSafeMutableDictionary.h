#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// A dictionary whose every operation holds a spin lock for its own duration only. Readers get
// copies (keys, values, entries), never references into the locked map, so nothing they hold
// can change under them.
template <typename Key, typename Value>
class CustomThreadSafeMutableDictionary {
 public:
  using Map = std::map<Key, Value>;

  CustomThreadSafeMutableDictionary() = default;
  CustomThreadSafeMutableDictionary(const std::vector<Value>& objects, const std::vector<Key>& keys) {
    for (std::size_t i = 0; i < objects.size() && i < keys.size(); ++i) dictionary_[keys[i]] = objects[i];
  }
  CustomThreadSafeMutableDictionary(const CustomThreadSafeMutableDictionary& other) : dictionary_(other.entries()) {}
  CustomThreadSafeMutableDictionary& operator=(const CustomThreadSafeMutableDictionary& other) {
    if (this != &other) setDictionary(other.entries());
    return *this;
  }

  void setObject(Value object, const Key& key) {
    Locked lock(lock_);
    dictionary_[key] = std::move(object);
  }
  void addEntriesFromDictionary(const Map& entries) {
    Locked lock(lock_);
    for (const auto& [key, value] : entries) dictionary_[key] = value;
  }
  void setDictionary(Map entries) {
    Locked lock(lock_);
    dictionary_ = std::move(entries);
  }
  void removeObjectForKey(const Key& key) {
    Locked lock(lock_);
    dictionary_.erase(key);
  }
  void removeAllObjects() {
    Locked lock(lock_);
    dictionary_.clear();
  }

  std::size_t count() const {
    Locked lock(lock_);
    return dictionary_.size();
  }
  std::vector<Key> allKeys() const {
    return collect([](const auto& entry) { return entry.first; });
  }
  std::vector<Value> allValues() const {
    return collect([](const auto& entry) { return entry.second; });
  }
  std::optional<Value> objectForKey(const Key& key) const {
    Locked lock(lock_);
    auto it = dictionary_.find(key);
    if (it == dictionary_.end()) return std::nullopt;
    return it->second;
  }
  // A copy of every entry: what iteration runs over.
  Map entries() const {
    Locked lock(lock_);
    return dictionary_;
  }

  // Runs `operation` on the inner map with the lock held, for steps that must not interleave
  // with another thread's (test and set, take and remove). Keep it short: others spin.
  template <typename Operation>
  decltype(auto) performLockedWithDictionary(Operation&& operation) {
    Locked lock(lock_);
    return std::forward<Operation>(operation)(dictionary_);
  }

  // Equal entries, compared with both dictionaries locked (in address order, so two threads
  // comparing the same pair in opposite directions cannot deadlock).
  bool operator==(const CustomThreadSafeMutableDictionary& other) const {
    if (this == &other) return true;
    const auto* first = this < &other ? this : &other;
    const auto* second = this < &other ? &other : this;
    Locked a(first->lock_);
    Locked b(second->lock_);
    return dictionary_ == other.dictionary_;
  }

 private:
  template <typename Projection>
  auto collect(Projection projection) const {
    Locked lock(lock_);
    std::vector<std::decay_t<decltype(projection(*dictionary_.begin()))>> items;
    items.reserve(dictionary_.size());
    for (const auto& entry : dictionary_) items.push_back(projection(entry));
    return items;
  }

  class SpinLock {
   public:
    void lock() {
      while (locked_.exchange(true, std::memory_order_acquire)) {
        while (locked_.load(std::memory_order_relaxed)) std::this_thread::yield();
      }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> locked_{false};
  };
  struct Locked {
    explicit Locked(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~Locked() { lock_.unlock(); }
    SpinLock& lock_;
  };

  mutable SpinLock lock_;
  Map dictionary_;
};
