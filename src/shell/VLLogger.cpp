#include "shell/VLLogger.h"

#include <atomic>
#include <mutex>

namespace {
std::once_flag gCreation;
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
  std::call_once(gCreation, [&] { gShared.store(std::make_shared<VLLogger>(std::move(engine))); });
  return gShared.load();
}

std::shared_ptr<VLLogger> VLLogger::sharedInstance() { return gShared.load(); }

void VLLogger::processEntry(std::int64_t level, const std::string& message,
                            const std::string& module, const Text& stack,
                            const platform::Value& extra, const Text& instant) {
  if (engine_) engine_->processLog(message, module, stack, level, extra, instant);
}
