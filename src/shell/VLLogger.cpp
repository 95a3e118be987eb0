#include "shell/VLLogger.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex gCreationMutex;
std::atomic<std::shared_ptr<VLLogger>> gShared;
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
  if (auto existing = gShared.load()) return existing;
  if (!engine) return nullptr;
  std::lock_guard lock(gCreationMutex);
  if (auto existing = gShared.load()) return existing;
  auto logger = std::make_shared<VLLogger>(std::move(engine));
  gShared.store(logger);
  return logger;
}

std::shared_ptr<VLLogger> VLLogger::sharedInstance() { return gShared.load(); }

void VLLogger::processEntry(std::int64_t level, const std::string& message,
                            const std::string& module, const Text& stack, const Extra& extra,
                            const Text& instant) {
  if (engine_) engine_->processLog(message, module, stack, level, extra, instant);
}
