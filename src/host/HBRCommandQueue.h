#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRInvokedUrlCommand.h"

class HBRViewController;

// Runs the web application's commands on the main thread, strictly in arrival order. Large
// batches are decoded on the global queue; a run yields the main thread after 8 ms of work.
class HBRCommandQueue : public std::enable_shared_from_this<HBRCommandQueue> {
 public:
  explicit HBRCommandQueue(std::weak_ptr<HBRViewController> viewController);
  virtual ~HBRCommandQueue() = default;

  bool currentlyExecuting() const { return startExecutionTime_ > 0; }
  void dispose();
  void resetRequestId() { lastCommandQueueFlushRequestId_ = 0; }
  // Every command comes from one document of the page: `document` is its token (empty when
  // unknown), and the command's answers go to that document only.
  void enqueueCommandBatch(std::string batchJSON, std::string document = {});
  // Whether batches wait to be run; a command that arrives on its own then waits behind them
  // (`enqueueCommand`) instead of overtaking them.
  bool hasPendingBatches();
  void enqueueCommand(platform::Value commandJSON, std::string document = {});
  void fetchCommandsFromJs();
  void executePending();
  // Runs one command; answers whether the plugin had the action.
  virtual bool execute(const HBRInvokedUrlCommand& command);
  // Decodes a command from its wire form and runs it. One nested deeper than the bridge
  // takes is not run: its callback gets an error result instead.
  // A command that arrives while a run is on (a plugin that runs the main loop in place, as a
  // synchronous evaluation does) waits for that run instead of running inside it: runs never
  // nest, however many messages come meanwhile.
  bool executeJSON(const platform::Value& json, const std::string& document = {});
  bool executeJSON(platform::Value&& json, const std::string& document = {});
  // The document of the command that runs now (empty outside a command, or when unknown).
  const std::string& executingDocument() const { return executingDocument_; }

  // Measures, on this thread, time that a command spends handing over its answers: the
  // slow-command report leaves it out, since the page asked for that work, not the plugin.
  class ConversionClock {
   public:
    ConversionClock();
    ~ConversionClock();
    ConversionClock(const ConversionClock&) = delete;
    ConversionClock& operator=(const ConversionClock&) = delete;

   private:
    double started_;
  };
  // The time measured so far on this thread, in seconds.
  static double conversionSeconds();

  // Batches of at least this many characters are decoded off the main thread.
  static constexpr size_t kBackgroundDecodeThreshold = 4096;
  // Once batches of this many characters in all were decoded off the main thread and have
  // run, the memory they took goes back to the system when the queue runs dry.
  static constexpr size_t kReleaseAfterDecodedBytes = 256 * 1024;
  static constexpr double kMaxExecutionSeconds = 0.008;
  static constexpr double kSlowCommandMilliseconds = 10.0;

 private:
  // Runs one command as a run of its own unless a run is on already.
  bool executeAsRun(const HBRInvokedUrlCommand& command, const std::string& document);
  // Runs one command of `document`.
  bool executeFrom(const HBRInvokedUrlCommand& command, const std::string& document);
  // One batch: empty while being decoded, then its commands (or nothing when it failed).
  struct Holder {
    std::mutex mutex;
    bool decoded = false;
    platform::Value commands = platform::Value::array();  // the decoded batch
    size_t next = 0;                                        // index of the next command to run
    size_t decodedAway = 0;  // characters of the batch when it was decoded off the main thread
    std::string document;    // the document the batch came from
    bool empty() const { return next >= commands.size(); }
  };
  static void fill(Holder& holder, const std::string& text);
  bool answeredAsTooDeep(const platform::Value& json);
  // Logs a plugin's exception (in its action, or while it was made) and answers the callback
  // with an error.
  void reportException(const HBRInvokedUrlCommand& command, const std::string& what, bool whileCreating);
  // Called when a run finds the queue empty.
  void releaseDecodingMemoryIfDue();

  std::int64_t lastCommandQueueFlushRequestId_ = 0;
  std::weak_ptr<HBRViewController> viewController_;
  std::mutex queueMutex_;
  std::deque<std::shared_ptr<Holder>> queue_;
  double startExecutionTime_ = 0;
  std::string executingDocument_;
  // Characters decoded off the main thread, in batches that have run, since memory was last
  // given back. Main thread only.
  size_t decodedAwaySinceRelease_ = 0;
};
