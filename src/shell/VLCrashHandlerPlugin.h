#pragma once

#include <memory>
#include <string>

#include "host/HBRPlugin.h"
#include "shell/VLLoggerProtocol.h"

// Deploys the crash handler when the plugin starts (after the logger plugin, so the records
// of earlier crashes have a logger to go to).
class VLCrashHandlerPlugin : public HBRPlugin {
 public:
  std::string className() const override { return "VLCrashHandlerPlugin"; }
  void pluginInitialize() override;

  std::shared_ptr<VLLoggerProtocol> logger() const { return logger_; }

 private:
  std::shared_ptr<VLLoggerProtocol> logger_;
};
