#pragma once

#include <memory>

#include "shell/VLLoggerEngine.h"
#include "shell/VLLoggerProtocol.h"

// The one process-wide logger of the shell. It does no formatting, filtering or output of
// its own: each call becomes one call of its engine's first entry. It does not exist until the
// logger plugin hands it its engine, so `sharedInstance()` is null until then and callers
// drop their logs (a call on nothing does nothing):
//
//   if (auto logger = VLLogger::sharedInstance()) logger->logInfo("Started", "VLCache");
//
// Any thread may log; the facade holds no lock and never waits.
class VLLogger final : public VLLoggerProtocol {
 public:
  // The first call makes the shared logger with the engine it is given (a null engine makes a
  // logger that drops everything); every later call returns that logger unchanged and ignores
  // its argument.
  static std::shared_ptr<VLLogger> initializeWithEngine(std::shared_ptr<VLLoggerEngine> engine);
  static std::shared_ptr<VLLogger> sharedInstance();

  const std::shared_ptr<VLLoggerEngine>& loggerEngine() const { return engine_; }

  explicit VLLogger(std::shared_ptr<VLLoggerEngine> engine) : engine_(std::move(engine)) {}

 protected:
  void processEntry(std::int64_t level, const std::string& message, const std::string& module,
                    const Text& stack, const platform::Value& extra,
                    const Text& instant) override;

 private:
  // Set once at construction and never replaced or released.
  const std::shared_ptr<VLLoggerEngine> engine_;
};
