#pragma once

// Makes the shell's plugin classes known by name ("VLApplicationInfoPlugin",
// "VLCrashHandlerPlugin", "VLInspectorPlugin", "VLLoggerPlugin") and the logging pipeline's
// filter and console output. A class the program registered under one of these names first
// is kept.
void VLRegisterShellClasses();
