#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What deploys a crash handler.
class VLCrashHandlerEngine {
 public:
  virtual ~VLCrashHandlerEngine() = default;
  virtual void deploy() = 0;
};

// Leaves one fatal record when the application dies from an uncaught exception or from
// SIGABRT, SIGILL, SIGSEGV, SIGFPE or SIGBUS, and lets the crash go on to the handlers that
// were there before, so the process still ends the way it would have.
//
// A dying process cannot be trusted to log: its heap or a lock the logger needs may be what
// broke. So the handlers only write a record, with functions that are safe in a signal
// handler, to a file opened when the handler was installed; the next launch imports that
// record into the logger as a fatal log (so it reaches the log server like any other) and
// removes the file. `alarm()` bounds the handler: a write or stack walk that hangs still ends
// the process, by the same signal.
//
// The handlers run on an alternate signal stack, so a stack overflow is recorded too. Every
// thread the platform starts makes its own (platform::ensureAlternateSignalStack); the thread
// that installs the handler gets one here. A thread started by a system library that makes
// none dies of an overflow without a record.
//
// SIGPIPE is not handled: the entry function ignores it, so a write to a closed socket fails
// with an error instead of ending the process.
class VLCrashHandler : public VLCrashHandlerEngine {
 public:
  static constexpr const char* kModule = "VLCrashHandler";
  static constexpr const char* kFatalMessagePrefix =
      "A fatal error has occurred. Please contact Veltro support: ";

  // Installs the handlers (once per process), and, when the shared logger exists, imports the
  // records of earlier crashes on a worker thread.
  void deploy() override;

  // Installs the handlers once per process; later calls change nothing. Records go to
  // `directory` ("": the default). A record an earlier launch left there is kept aside for
  // the import first. The terminate handler is taken over only when it is still the
  // standard library's default; a program's own is left in place. False, with nothing
  // installed, when the record file cannot be opened.
  static bool install(const std::string& directory = "");
  static bool isInstalled();
  // Whether `install` found a terminate handler of the program's own and left it in place.
  static bool foundOtherTerminateHandler();
  // "VLCrashHandler" in the application-support folder.
  static std::string defaultDirectory();

  // Puts back the terminate handler and the signal dispositions that were in place before
  // `install`. The handlers do this themselves before a crash goes on.
  static void restoreHandlers();

  // Hands the records of earlier crashes to the shared logger as fatal logs, waits until its
  // pipeline has taken them (bounded) and removes them; answers how many were imported. A
  // file that holds no readable record becomes an error log and is removed too. Without a
  // logger that has a pipeline the records stay for a later launch.
  static size_t importPendingRecords();
  // The records waiting for the import, oldest first (full paths).
  static std::vector<std::string> pendingRecords();
};
