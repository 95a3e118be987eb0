#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRBatchDecoder.h"
#include "host/HBRInvokedUrlCommand.h"

class HBRViewController;

// Runs the web application's commands on the main thread, strictly in arrival order. Large
// batches are decoded off the main thread (HBRBatchDecoder), one after another in arrival
// order, and their first commands run while the rest are still being decoded; a run yields
// the main thread after 8 ms of work.
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
  // A batch decoded off the main thread is handed over in pieces of this many commands, or
  // of commands from this many characters of its text, whichever comes first; and at once,
  // whatever has been decoded, when a run waits for it.
  static constexpr size_t kPieceCommands = 32;
  static constexpr size_t kPieceCharacters = 16 * 1024;
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
  // One batch: its commands as they are decoded, until the last one is in (or it failed).
  struct Holder {
    std::mutex mutex;
    bool decoded = false;  // every command is in (or the batch failed)
    // A run stopped here for want of commands: the decoder hands over what it has at once and
    // asks for the next run. Set and cleared under the lock; read without it between commands.
    std::atomic<bool> awaited{false};
    // Decoded and not yet run, in order; `shallow` when it was measured, as it was decoded, to
    // nest no deeper than the bridge takes.
    struct Command {
      platform::Value json;
      bool shallow = false;
    };
    std::deque<Command> commands;
    size_t decodedAway = 0;  // characters of the batch when it was decoded off the main thread
    std::string document;    // the document the batch came from
  };
  // Decodes `text` into `holder`, handing the commands over in pieces as they are read so that
  // the first ones can run while the rest are decoded; `wake` (when given) asks for a run
  // when one waits for the piece just handed over, and after the last piece.
  static void fill(Holder& holder, const std::string& text, const std::function<void()>& wake);
  // Hands what commands of batches decoded off the main thread left behind to the decoding
  // thread, which frees it in its own allocator arena: `soon` once the queue has run dry.
  void disposeSpent(bool soon = false);
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
  double commandEnded_ = 0;  // when the last command that ran ended (0: none since asked)
  std::string executingDocument_;
  // What commands decoded off the main thread left behind, waiting to be handed back.
  HBRBatchDecoder::Spent spent_;
  static constexpr size_t kSpentPerHandOver = 256;
  // Characters decoded off the main thread, in batches that have run, since memory was last
  // given back. Main thread only.
  size_t decodedAwaySinceRelease_ = 0;
};
