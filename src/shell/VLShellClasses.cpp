#include "shell/VLShellClasses.h"

#include "shell/VLApplicationInfoPlugin.h"
#include "shell/VLCrashHandlerPlugin.h"
#include "shell/VLLoggerPlugin.h"
#include "shell/VLNetworkEvents.h"
#include "shell/VLRoruvLogger.h"

void VLRegisterShellClasses() {
  HBRRegisterBuiltInPluginClass<VLApplicationInfoPlugin>("VLApplicationInfoPlugin");
  HBRRegisterBuiltInPluginClass<VLCrashHandlerPlugin>("VLCrashHandlerPlugin");
  HBRRegisterBuiltInPluginClass<VLInspectorPlugin>("VLInspectorPlugin");
  HBRRegisterBuiltInPluginClass<VLLoggerPlugin>("VLLoggerPlugin");
  HBRRegisterBuiltInPluginClass<VLBroadcasterPlugin>("VLBroadcasterPlugin");
  VLRoruvLogger::registerPipelineClasses();
}
