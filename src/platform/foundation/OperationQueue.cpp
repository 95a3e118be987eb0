#include "platform/foundation/OperationQueue.h"

#include <algorithm>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/DispatchQueue.h"

namespace platform {
namespace {

// The operations a thread is starting in place, one batch per queue it is starting them for:
// an operation that finishes at once asks its queue to start more, and those join the batch
// instead of starting in a nested call.
struct InPlaceBatch {
  const OperationQueue* queue;
  std::deque<std::shared_ptr<Operation>> operations;
};
thread_local std::vector<InPlaceBatch*> tInPlaceBatches;

class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

 protected:
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};
}  // namespace

std::shared_ptr<Operation> Operation::withBlock(std::function<void()> block) {
  return std::make_shared<BlockOperation>(std::move(block));
}

void Operation::cancel() {
  cancelled_ = true;
  // A waiting operation may now be ready to be finished without running.
  std::shared_ptr<OperationQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue = queue_.lock();
  }
  if (queue) {
    queue->cancellationSeen_ = true;
    queue->startReady();
  }
}

void Operation::addDependency(std::shared_ptr<Operation> other) {
  std::lock_guard<std::mutex> lock(mutex_);
  dependencies_.push_back(other);
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard<std::mutex> lock(mutex_);
  completion_ = std::move(block);
}

bool Operation::isReady() const {
  if (cancelled_) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& weak : dependencies_) {
    auto dep = weak.lock();
    if (dep && !dep->isFinished()) return false;
  }
  return true;
}

void Operation::startOnWorker() {
  executing_ = true;
  if (!cancelled_) {
    try {
      main();
    } catch (...) {
      reportCaughtException("An operation");
    }
  }
  if (!isAsynchronous() || cancelled_) finish();
}

void Operation::finish() {
  bool expected = false;
  if (!finished_.compare_exchange_strong(expected, true)) return;
  executing_ = false;
  std::function<void()> completion;
  std::shared_ptr<OperationQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    completion = std::move(completion_);
    queue = queue_.lock();
  }
  if (completion) {
    try {
      completion();
    } catch (...) {
      reportCaughtException("An operation's completion");
    }
  }
  if (queue) queue->operationFinished(shared_from_this());
}

std::shared_ptr<OperationQueue> OperationQueue::make(std::string name, int maxConcurrent) {
  return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name), maxConcurrent));
}

OperationQueue::OperationQueue(std::string name, int maxConcurrent)
    : name_(std::move(name)), maxConcurrent_(maxConcurrent) {}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    maxConcurrent_ = count;
  }
  startReady();
}

void OperationQueue::setStartsOperationsInPlace(bool inPlace) { startsInPlace_ = inPlace; }

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maxConcurrent_;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  {
    std::lock_guard<std::mutex> opLock(operation->mutex_);
    operation->queue_ = weak_from_this();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(operation));
  }
  startReady();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block) {
  addOperation(Operation::withBlock(std::move(block)));
}

void OperationQueue::cancelAllOperations() {
  std::vector<std::shared_ptr<Operation>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.assign(pending_.begin(), pending_.end());
    all.insert(all.end(), running_.begin(), running_.end());
  }
  for (auto& op : all) op->cancelled_ = true;
  cancellationSeen_ = true;
  startReady();
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = suspended;
  }
  startReady();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return pending_.empty() && running_.empty(); });
}

size_t OperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size() + running_.size();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto all = running_;
  all.insert(all.end(), pending_.begin(), pending_.end());
  return all;
}

void OperationQueue::operationFinished(const std::shared_ptr<Operation>& operation) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(running_, operation);
    if (pending_.empty() && running_.empty()) idle_.notify_all();
  }
  startReady();
}

void OperationQueue::startReady() {
  std::vector<std::shared_ptr<Operation>> toStart;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suspended_) return;
    // Once every slot is taken only cancelled operations can leave, and there are none unless
    // a cancellation came since the last full pass: a long queue is not walked for nothing.
    const bool cancellation = cancellationSeen_.exchange(false);
    for (auto it = pending_.begin(); it != pending_.end();) {
      bool limitReached =
          maxConcurrent_ > 0 && running_.size() + toStart.size() >= static_cast<size_t>(maxConcurrent_);
      if (limitReached && !cancellation) break;
      // Cancelled operations leave at once, without taking a slot's worth of work.
      if ((*it)->isReady() && (!limitReached || (*it)->isCancelled())) {
        running_.push_back(*it);
        toStart.push_back(*it);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (toStart.empty()) return;
  if (!startsInPlace_) {
    auto self = shared_from_this();
    for (auto& op : toStart)
      DispatchQueue::global().async([op, self] { op->startOnWorker(); });
    return;
  }
  for (InPlaceBatch* batch : tInPlaceBatches) {
    if (batch->queue != this) continue;
    batch->operations.insert(batch->operations.end(), toStart.begin(), toStart.end());
    return;
  }
  InPlaceBatch batch{this, {toStart.begin(), toStart.end()}};
  struct Registered {
    explicit Registered(InPlaceBatch* batch) { tInPlaceBatches.push_back(batch); }
    ~Registered() { tInPlaceBatches.pop_back(); }
  } registered(&batch);
  // The queue stays alive while its operations start, whoever else lets it go meanwhile.
  auto self = shared_from_this();
  while (!batch.operations.empty()) {
    auto op = std::move(batch.operations.front());
    batch.operations.pop_front();
    op->startOnWorker();
  }
}

}  // namespace platform
