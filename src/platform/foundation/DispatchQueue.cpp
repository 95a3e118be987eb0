#include "platform/foundation/DispatchQueue.h"

#include <algorithm>
#include <future>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/SignalStack.h"

namespace platform {
namespace {
thread_local const DispatchQueue* tCurrentQueue = nullptr;
}

DispatchQueue& DispatchQueue::global() {
  // Never destroyed: work may still be posted while static objects are torn down.
  static DispatchQueue* queue = new DispatchQueue(
      "com.apple.root.default-qos", std::max(4u, std::thread::hardware_concurrency()));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), 1));
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeConcurrent(std::string label, size_t threads) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), std::max<size_t>(1, threads)));
}

DispatchQueue::DispatchQueue(std::string label, size_t threads) : label_(std::move(label)) {
  for (size_t i = 0; i < threads; ++i) workers_.emplace_back(workerLoop, this, state_);
}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  for (auto& t : workers_) {
    if (t.get_id() == std::this_thread::get_id())
      t.detach();  // the last reference was dropped by our own work item
    else
      t.join();
  }
}

void DispatchQueue::async(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->items.push_back(std::move(work));
  }
  state_->wake.notify_one();
}

void DispatchQueue::sync(const std::function<void()>& work) {
  if (isCurrent() && workers_.size() == 1) {
    work();
    return;
  }
  std::promise<void> done;
  async([&] {
    try {
      work();
    } catch (...) {
      reportCaughtException("A dispatch queue");
    }
    done.set_value();
  });
  done.get_future().wait();
}

bool DispatchQueue::isCurrent() const { return tCurrentQueue == this; }

void DispatchQueue::workerLoop(const DispatchQueue* queue, std::shared_ptr<State> state) {
  ensureAlternateSignalStack();
  tCurrentQueue = queue;
  while (true) {
    std::function<void()> work;
    {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->items.empty(); });
      if (state->items.empty()) return;  // stopping, and everything queued has run
      work = std::move(state->items.front());
      state->items.pop_front();
    }
    try {
      work();
    } catch (...) {
      reportCaughtException("A dispatch queue");
    }
    // Dropping the item may drop the queue's last reference and destroy the queue here;
    // from then on only `state` is touched.
    work = nullptr;
  }
}

}  // namespace platform
