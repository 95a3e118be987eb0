#include "shell/VLLogger.h"

#include <atomic>
#include <mutex>

namespace {
std::once_flag gCreation;
// A plain mutex rather than std::atomic<std::shared_ptr>: libstdc++ 12 unlocks the latter
// with a relaxed store, which the memory model does not order against a later store.
std::mutex gSharedMutex;
std::shared_ptr<VLLogger> gShared;

std::shared_ptr<VLLogger> loadShared() {
  std::lock_guard lock(gSharedMutex);
  return gShared;
}
}  // namespace

VLLoggerProtocol::Text VLLoggerProtocol::stackOf(const VLException* exception) {
  if (!exception) return std::nullopt;
  std::string stack;
  for (const auto& symbol : exception->callStackSymbols()) {
    if (!stack.empty()) stack += '\n';
    stack += symbol;
  }
  return stack;
}

std::shared_ptr<VLLogger> VLLogger::initializeWithEngine(std::shared_ptr<VLLoggerEngine> engine) {
  std::call_once(gCreation, [&] { auto made = std::make_shared<VLLogger>(std::move(engine));
    std::lock_guard lock(gSharedMutex);
    gShared = std::move(made); });
  return loadShared();
}

std::shared_ptr<VLLogger> VLLogger::sharedInstance() { return loadShared(); }

void VLLogger::processEntry(std::int64_t level, const std::string& message,
                            const std::string& module, const Text& stack,
                            const platform::Value& extra, const Text& instant) {
  if (engine_) engine_->processLog(message, module, stack, level, extra, instant);
}
