#pragma once

#include <exception>

namespace platform {

// The places that must not let an exception out (work on the main loop, queue workers,
// operations, URL-session callbacks) hand what they caught here, from inside their catch
// block. It goes to the process log and to the reporter the shell installs, which logs it as
// an error, so a fault swallowed to keep the loop alive is still seen.
void reportCaughtException(const char* where);

// Receives each caught exception; must not throw. nullptr: the process log only.
using CaughtExceptionReporter = void (*)(const char* where, std::exception_ptr exception);
void setCaughtExceptionReporter(CaughtExceptionReporter reporter);

}  // namespace platform
