#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class OperationQueue;

// A unit of work for an operation queue. A synchronous operation is finished when `main`
// returns; an asynchronous one (isAsynchronous() true) calls `finish()` itself later,
// from any thread. Dependencies must finish (or be cancelled) before the operation starts.
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  virtual ~Operation() = default;

  static std::shared_ptr<Operation> withBlock(std::function<void()> block);

  virtual bool isAsynchronous() const { return false; }
  virtual void cancel();
  bool isCancelled() const { return cancelled_; }
  bool isExecuting() const { return executing_; }
  bool isFinished() const { return finished_; }

  void addDependency(std::shared_ptr<Operation> other);
  void setCompletionBlock(std::function<void()> block);

  // Marks an asynchronous operation finished. Safe to call once from any thread.
  void finish();

 protected:
  // The work. A cancelled operation is finished without running it.
  virtual void main() {}

 private:
  friend class OperationQueue;
  bool isReady() const;
  void startOnWorker();

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<Operation>> dependencies_;
  std::function<void()> completion_;
  std::weak_ptr<OperationQueue> queue_;
};

// Runs operations on the global queue's workers, at most `maxConcurrentOperationCount` at a
// time, in the order they were added among those that are ready.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  static std::shared_ptr<OperationQueue> make(std::string name = "", int maxConcurrent = -1);

  void setMaxConcurrentOperationCount(int count);
  int maxConcurrentOperationCount() const;
  // When set, an operation starts on the thread that makes room for it or adds it (the one
  // finishing, cancelling or adding an operation) instead of on a worker of the global queue.
  // Only for operations whose `main` hands its work on and returns at once, never one that
  // waits: it runs inside the caller's call. Operations that a start in place lets finish at
  // once make room for the next ones in the same loop, not in nested calls.
  void setStartsOperationsInPlace(bool inPlace);
  const std::string& name() const { return name_; }

  void addOperation(std::shared_ptr<Operation> operation);
  void addOperationWithBlock(std::function<void()> block);
  void cancelAllOperations();
  void setSuspended(bool suspended);
  // Blocks the caller until every operation added so far has finished.
  void waitUntilAllOperationsAreFinished();
  size_t operationCount() const;
  std::vector<std::shared_ptr<Operation>> operations() const;

 private:
  friend class Operation;
  explicit OperationQueue(std::string name, int maxConcurrent);
  void operationFinished(const std::shared_ptr<Operation>& operation);
  void startReady();

  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<std::shared_ptr<Operation>> pending_;
  std::vector<std::shared_ptr<Operation>> running_;
  int maxConcurrent_;
  bool suspended_ = false;
  // Set by every cancellation before it asks the queue to start what is ready.
  std::atomic<bool> cancellationSeen_{false};
  std::atomic<bool> startsInPlace_{false};
};

}  // namespace platform
