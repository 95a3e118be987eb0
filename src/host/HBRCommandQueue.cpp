#include "host/HBRCommandQueue.h"

#include <limits>
#include <utility>

#include "host/HBRBatchDecoder.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRJSON.h"
#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"

using platform::Value;

HBRCommandQueue::HBRCommandQueue(std::weak_ptr<HBRViewController> viewController)
    : viewController_(std::move(viewController)) {}

void HBRCommandQueue::dispose() { viewController_.reset(); }

void HBRCommandQueue::fill(Holder& holder, const std::string& text, const std::function<void()>& wake) {
  // Decoding builds the value without recursion, so the batch may nest as deep as it likes:
  // each command is measured on its own before anything walks it, and one too deep is
  // answered with an error rather than taking the rest of the batch with it. The whole text
  // is checked before any command is handed over: a batch that does not decode runs nothing.
  platform::JSONArrayReader reader(text, std::numeric_limits<size_t>::max());
  std::string error;
  auto shape = reader.check(&error);
  if (shape == platform::JSONArrayReader::Shape::Invalid)
    platform::log("ERROR: Dropping a command batch that could not be decoded: " + error);
  else if (shape == platform::JSONArrayReader::Shape::OtherValue)
    platform::log("ERROR: Dropping a command batch that is not an array.");
  std::vector<Holder::Command> piece;
  auto handOver = [&](bool last) {
    bool awaited;
    {
      std::lock_guard<std::mutex> lock(holder.mutex);
      for (auto& command : piece) holder.commands.push_back(std::move(command));
      holder.decoded = last;
      awaited = holder.awaited.exchange(false);
    }
    piece.clear();
    // The last piece always asks for a run, as a batch decoded whole would: a caller that
    // queued the batch without starting a run still gets its commands run.
    if ((awaited || last) && wake) wake();
  };
  size_t handedOverTo = reader.position();
  Value command;
  size_t depth = 0;
  while (reader.next(command, &depth)) {
    piece.push_back({std::move(command), depth <= platform::kMaxNestingDepth});
    command = Value();
    if (wake && (piece.size() >= kPieceCommands || reader.position() - handedOverTo >= kPieceCharacters ||
                 holder.awaited.load(std::memory_order_relaxed))) {
      handOver(false);
      handedOverTo = reader.position();
    }
  }
  handOver(true);
}

void HBRCommandQueue::disposeSpent(bool soon) {
  if (spent_.empty() && !soon) return;
  HBRBatchDecoder::shared().dispose(std::exchange(spent_, HBRBatchDecoder::Spent()), soon);
}

namespace {
thread_local double tConversionSeconds = 0;
thread_local int tConversionDepth = 0;
}  // namespace

HBRCommandQueue::ConversionClock::ConversionClock()
    : started_(tConversionDepth++ == 0 ? platform::monotonicSeconds() : -1) {}

HBRCommandQueue::ConversionClock::~ConversionClock() {
  --tConversionDepth;
  if (started_ >= 0) tConversionSeconds += platform::monotonicSeconds() - started_;
}

double HBRCommandQueue::conversionSeconds() { return tConversionSeconds; }

void HBRCommandQueue::enqueueCommandBatch(std::string batchJSON, std::string document) {
  if (batchJSON.empty()) return;
  auto holder = std::make_shared<Holder>();
  holder->document = std::move(document);
  bool inBackground = batchJSON.size() >= kBackgroundDecodeThreshold;
  if (inBackground) holder->decodedAway = batchJSON.size();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(holder);
  }
  if (!inBackground) {
    fill(*holder, batchJSON, nullptr);
    return;
  }
  // Decoded one after another in arrival order: the batch whose commands run next is the one
  // being decoded, and decoders of later batches do not crowd the main thread off the
  // processor meanwhile.
  std::weak_ptr<HBRCommandQueue> weakSelf = weak_from_this();
  HBRBatchDecoder::shared().decode([holder, weakSelf, text = std::move(batchJSON)] {
    fill(*holder, text, [weakSelf] {
      platform::MainLoop::post([weakSelf] {
        if (auto self = weakSelf.lock()) self->executePending();
      });
    });
  });
}

bool HBRCommandQueue::hasPendingBatches() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return !queue_.empty();
}

void HBRCommandQueue::enqueueCommand(Value commandJSON, std::string document) {
  auto holder = std::make_shared<Holder>();
  holder->document = std::move(document);
  holder->decoded = true;
  holder->commands.push_back({std::move(commandJSON), false});
  std::lock_guard<std::mutex> lock(queueMutex_);
  queue_.push_back(std::move(holder));
}

void HBRCommandQueue::fetchCommandsFromJs() {
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine) return;
  auto document = engine->applicationDocument();
  if (!document) return;
  std::weak_ptr<HBRCommandQueue> weakSelf = weak_from_this();
  engine->evaluateJavaScript(
      "harbor.require('harbor/exec').nativeFetchMessages()",
      [weakSelf, document = *document](const Value& result, const std::optional<platform::Error>& error) {
        auto self = weakSelf.lock();
        if (!self || error || !result.is_string()) return;
        self->enqueueCommandBatch(result.get<std::string>(), document);
        self->executePending();
      },
      *document);
}

void HBRCommandQueue::executePending() {
  // Runs do not nest: a plugin that spins the run loop must not start a second one.
  if (startExecutionTime_ > 0) return;
  startExecutionTime_ = platform::monotonicSeconds();
  struct EndRun {
    HBRCommandQueue& queue;
    ~EndRun() {
      queue.startExecutionTime_ = 0;
      queue.disposeSpent();
    }
  } endRun{*this};

  while (true) {
    std::shared_ptr<Holder> holder;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      if (queue_.empty()) {
        lock.unlock();
        releaseDecodingMemoryIfDue();
        return;
      }
      holder = queue_.front();
    }
    std::optional<Value> commandJSON;
    bool shallow = false;
    bool holderDone = false;
    {
      std::lock_guard<std::mutex> lock(holder->mutex);
      if (holder->commands.empty() && !holder->decoded) {
        // Its next commands are still being decoded: later batches wait for them, and the
        // decoder calls us again once it has handed them over.
        holder->awaited = true;
        return;
      }
      if (!holder->commands.empty()) {
        commandJSON = std::move(holder->commands.front().json);
        shallow = holder->commands.front().shallow;
        holder->commands.pop_front();
      }
      holderDone = holder->decoded && holder->commands.empty();
    }
    if (holderDone) {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (!queue_.empty() && queue_.front() == holder) {
        queue_.pop_front();
        decodedAwaySinceRelease_ += holder->decodedAway;
      }
    }
    commandEnded_ = 0;
    if (commandJSON && (shallow || !answeredAsTooDeep(*commandJSON))) {
      auto command = shallow ? HBRInvokedUrlCommand::commandFromShallowJson(std::move(*commandJSON))
                             : HBRInvokedUrlCommand::commandFromJson(std::move(*commandJSON));
      if (command) {
        executeFrom(*command, holder->document);
        // Its memory was made on the decoding thread, and goes back there to be freed.
        if (holder->decodedAway) spent_.arguments.push_back(command->sharedArguments());
      }
    }
    if (commandJSON && holder->decodedAway) {
      spent_.values.push_back(std::move(*commandJSON));
      if (spent_.values.size() >= kSpentPerHandOver) disposeSpent();
    }
    bool more;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      more = !queue_.empty();
    }
    // The clock read at the end of the command, when one ran, tells the time as well.
    double now = commandEnded_ > 0 ? commandEnded_ : platform::monotonicSeconds();
    if (more && now - startExecutionTime_ > kMaxExecutionSeconds) {
      std::weak_ptr<HBRCommandQueue> weakSelf = weak_from_this();
      platform::MainLoop::post([weakSelf] {
        if (auto self = weakSelf.lock()) self->executePending();
      });
      return;
    }
  }
}

void HBRCommandQueue::releaseDecodingMemoryIfDue() {
  // A batch decoded off the main thread is built in the decoding thread's allocator arena and
  // freed there once its commands have run; the arena keeps the freed memory, scattered between
  // blocks still in use, until it is told to give it back. Telling it costs a walk of the
  // arenas and page faults when the memory is next used, so it is done only after a large
  // burst, once the burst is over: the queue has run dry, and no batch came to the decoding
  // thread for a while. It runs there, not on the main thread.
  disposeSpent(true);
  if (decodedAwaySinceRelease_ < kReleaseAfterDecodedBytes) return;
  decodedAwaySinceRelease_ = 0;
  HBRBatchDecoder::shared().releaseMemoryOnceQuiet();
}

bool HBRCommandQueue::answeredAsTooDeep(const Value& json) {
  if (!HBRInvokedUrlCommand::isNestedTooDeep(json)) return false;
  const Value* callbackId = json.is_array() && !json.empty() ? &json[0] : nullptr;
  auto vc = viewController_.lock();
  auto delegate = vc ? vc->commandDelegate() : nullptr;
  if (delegate && callbackId && callbackId->is_string())
    delegate->sendPluginResult(
        HBRPluginResult::resultWithStatusAsString(
            HBRResultStatus::Error, platform::stringf("Invalid command: its arguments nest deeper than %zu levels.",
                                                      platform::kMaxNestingDepth)),
        callbackId->get<std::string>());
  return true;
}

bool HBRCommandQueue::executeJSON(const Value& json, const std::string& document) {
  // Checked before anything copies it: a copy walks the value recursively.
  if (answeredAsTooDeep(json)) return false;
  if (startExecutionTime_ > 0 && platform::MainLoop::isMainThread()) {
    enqueueCommand(json, document);
    return true;
  }
  auto command = HBRInvokedUrlCommand::commandFromJson(json);
  return command && executeAsRun(*command, document);
}

bool HBRCommandQueue::executeJSON(Value&& json, const std::string& document) {
  if (startExecutionTime_ > 0 && platform::MainLoop::isMainThread()) {
    // A run is on and has let the main loop turn inside a command: this one waits its turn
    // behind it. Run here, it could nest as deep as the page sends messages.
    enqueueCommand(std::move(json), document);
    return true;
  }
  if (answeredAsTooDeep(json)) return false;
  auto command = HBRInvokedUrlCommand::commandFromJson(std::move(json));
  return command && executeAsRun(*command, document);
}

bool HBRCommandQueue::executeFrom(const HBRInvokedUrlCommand& command, const std::string& document) {
  std::string previous = std::exchange(executingDocument_, document);
  struct Restore {
    std::string& slot;
    std::string value;
    ~Restore() { slot = std::move(value); }
  } restore{executingDocument_, std::move(previous)};
  return execute(command);
}

bool HBRCommandQueue::executeAsRun(const HBRInvokedUrlCommand& command, const std::string& document) {
  // A command that came on its own is a run of one, as one of a batch is: its answer can go
  // out before the action returns.
  if (!platform::MainLoop::isMainThread()) return executeFrom(command, document);
  startExecutionTime_ = platform::monotonicSeconds();
  bool found;
  {
    struct EndRun {
      double& start;
      ~EndRun() { start = 0; }
    } endRun{startExecutionTime_};
    found = executeFrom(command, document);
  }
  // Batches that came while it ran (a plugin that iterated the loop) do not wait for the next.
  if (hasPendingBatches()) executePending();
  return found;
}

bool HBRCommandQueue::execute(const HBRInvokedUrlCommand& command) {
  if (!command.className() || !command.methodName()) {
    platform::log("ERROR: Classname and/or methodName not found for command.");
    return false;
  }
  const std::string& className = *command.className();
  auto vc = viewController_.lock();
  auto delegate = vc ? vc->commandDelegate() : nullptr;
  std::shared_ptr<platform::Object> instance;
  // Making the plugin runs its constructor and `pluginInitialize`: guarded like the action.
  try {
    instance = delegate ? delegate->getCommandInstance(className) : nullptr;
  } catch (const std::exception& e) {
    reportException(command, e.what(), true);
    return true;
  } catch (...) {
    reportException(command, "unknown exception", true);
    return true;
  }
  auto plugin = std::dynamic_pointer_cast<HBRPlugin>(instance);
  if (!plugin) {
    platform::log(platform::stringf(
        "ERROR: Plugin '%s' not found, or is not a HBRPlugin. Check your plugin mapping in config.xml.",
        className.c_str()));
    return false;
  }

  // Its answers belong to the page, and the document, that sent it.
  if (command.callbackId())
    if (auto impl = std::dynamic_pointer_cast<HBRCommandDelegateImpl>(delegate))
      impl->noteCallbackPage(*command.callbackId(), executingDocument_);

  double started = platform::monotonicSeconds() * 1000.0;
  double conversionBefore = conversionSeconds();
  bool found = false;
  // An exception from a plugin must not unwind into the run loop or stall the queue.
  try {
    found = plugin->performAction(*command.methodName(), command);
  } catch (const std::exception& e) {
    found = true;
    reportException(command, e.what(), false);
  } catch (...) {
    found = true;
    reportException(command, "unknown exception", false);
  }
  if (!found) {
    // The action's method is its name followed by one colon, taking the command.
    std::string selector = *command.methodName() + ":";
    platform::log(platform::stringf("ERROR: Method '%s' not defined in Plugin '%s'", selector.c_str(),
                                    className.c_str()));
  }
  double converting = (conversionSeconds() - conversionBefore) * 1000.0;
  commandEnded_ = platform::monotonicSeconds();
  double elapsed = commandEnded_ * 1000.0 - started - converting;
  if (elapsed > kSlowCommandMilliseconds) {
    platform::log(platform::stringf("THREAD WARNING: ['%s'] took '%f' ms. Plugin should use a background thread.",
                                    className.c_str(), elapsed));
  }
  return found;
}

void HBRCommandQueue::reportException(const HBRInvokedUrlCommand& command, const std::string& what,
                                      bool whileCreating) {
  platform::log(platform::stringf("ERROR: Action '%s' of plugin '%s' %s: %s", command.methodName()->c_str(),
                                  command.className()->c_str(),
                                  whileCreating ? "failed: the plugin could not be created" : "raised an exception",
                                  what.c_str()));
  auto vc = viewController_.lock();
  auto delegate = vc ? vc->commandDelegate() : nullptr;
  if (delegate && command.callbackId())
    delegate->sendPluginResult(
        HBRPluginResult::resultWithStatusAsString(
            HBRResultStatus::Error, (whileCreating ? "Exception in plugin creation: " : "Exception in plugin action: ") + what),
        command.callbackId());
}
