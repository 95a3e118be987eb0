#pragma once

// Makes the shell's plugin classes known by name ("VLApplicationInfoPlugin",
// "VLCrashHandlerPlugin", "VLInspectorPlugin", "VLLoggerPlugin", "VLBroadcasterPlugin") and the
// logging pipeline's filter and outputs. A class the program registered under one of these
// names first is kept.
void VLRegisterShellClasses();
