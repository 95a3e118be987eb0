#include "shell/VLCrashHandlerPlugin.h"

#include "shell/VLCrashHandler.h"
#include "shell/VLLogger.h"

void VLCrashHandlerPlugin::pluginInitialize() {
  logger_ = VLLogger::sharedInstance();
  if (logger_) logger_->logVerbose("pluginInitialize: started", VLCrashHandler::kModule);
  VLCrashHandler().deploy();
  if (logger_) logger_->logVerbose("pluginInitialize: finished", VLCrashHandler::kModule);
}
