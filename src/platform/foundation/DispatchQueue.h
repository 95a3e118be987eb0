#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// A queue of work items run by worker threads: the global concurrent queue (a fixed pool)
// or a labelled serial queue (one worker, strict order). An exception escaping a work
// item is swallowed so that it never takes a worker thread down.
class DispatchQueue {
 public:
  // The default-priority global concurrent queue.
  static DispatchQueue& global();
  static std::shared_ptr<DispatchQueue> makeSerial(std::string label);

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  void async(std::function<void()> work);
  // Runs `work` on the queue and waits for it; on a serial queue called from its own worker
  // it runs in place instead of deadlocking.
  void sync(const std::function<void()>& work);

  const std::string& label() const { return label_; }
  bool isCurrent() const;

 private:
  DispatchQueue(std::string label, size_t threads);
  void workerLoop();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

}  // namespace platform
