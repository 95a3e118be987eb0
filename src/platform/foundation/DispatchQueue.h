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
  // A concurrent queue of its own with `threads` workers, for work that must not wait behind
  // (or hold up) the global queue's.
  static std::shared_ptr<DispatchQueue> makeConcurrent(std::string label, size_t threads);

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

  // What the workers use lives apart from the queue object: when a work item drops the
  // queue's last reference, the queue is destroyed on its own worker, which must still be
  // able to look at the (now stopping) state after its item returns.
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> items;
    bool stopping = false;
  };
  static void workerLoop(const DispatchQueue* queue, std::shared_ptr<State> state);

  std::string label_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::vector<std::thread> workers_;
};

}  // namespace platform
