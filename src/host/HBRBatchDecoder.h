#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/foundation/Value.h"

// The one thread that decodes the command batches too large to decode on the main thread, for
// every command queue of the process. It runs decoding jobs in the order they come; in between
// it frees what the commands of those batches left behind once they have run (that memory was
// made here, and freeing it here keeps it in this thread's allocator arena for the next batch
// instead of crossing threads); and once it has been idle for a while after a burst of large
// batches, it gives the memory it freed back to the system.
class HBRBatchDecoder {
 public:
  static HBRBatchDecoder& shared();

  // Runs `job` on the decoding thread after the jobs given before it.
  void decode(std::function<void()> job);
  // What commands of decoded batches left behind once they ran: their values, and their
  // arguments, which a plugin may still share (they are freed where their last holder lets go).
  struct Spent {
    std::vector<platform::Value> values;
    std::vector<std::shared_ptr<const platform::Value>> arguments;
    bool empty() const { return values.empty() && arguments.empty(); }
  };
  // Frees `spent` on the decoding thread, when no decoding job waits: with `soon`, right
  // away; otherwise when the thread next has work, or once too much waits.
  void dispose(Spent spent, bool soon);
  // Gives the memory freed so far back to the system once the thread has had nothing to do
  // for `kQuietSeconds`: a burst that goes on is not interrupted, and one that is over leaves
  // nothing behind.
  void releaseMemoryOnceQuiet();

  static constexpr double kQuietSeconds = 0.02;
  // Hand-overs of spent values that may wait behind decoding jobs; past this, one is freed
  // before the next job, so that a stream of batches cannot pile them up.
  static constexpr size_t kMaxWaitingHandOvers = 16;

 private:
  HBRBatchDecoder();
  void run();

  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<std::function<void()>> jobs_;
  std::deque<Spent> spent_;
  bool releaseDue_ = false;
};
