#include "shell/VLCrashHandler.h"

#include <cxxabi.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SignalStack.h"
#include "shell/VLException.h"
#include "shell/VLLog.h"
#include "shell/VLLogger.h"
#include "shell/VLRoruvLogger.h"

// Everything from here to the end of the anonymous namespace runs inside a dying process,
// often in a signal handler: no allocation, no locks, no stdio, only functions that are safe
// in a signal handler (plus backtrace(), whose one unsafe step, loading the unwinder, is done
// at install time).
namespace {

constexpr int kSignals[] = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
// Seconds the handler may take before the alarm interrupts it, and the further grace after
// which a handler that is stuck (not just blocked in a write) is ended outright.
constexpr unsigned kAlarmSeconds = 2;
constexpr unsigned kGraceSeconds = 1;
constexpr int kMaxFrames = 128;

constexpr const char kHeader[] = "VLCrashHandler crash record\n";
constexpr const char kInstantKey[] = "instant: ";
constexpr const char kMessageKey[] = "message: ";
constexpr const char kStackLine[] = "stack:";
constexpr const char kEndLine[] = "end of record";

const char* signalText(int signal) {
  switch (signal) {
    case SIGABRT:
      return "SIGABRT signal";
    case SIGILL:
      return "SIGILL signal";
    case SIGSEGV:
      return "SIGSEGV signal";
    case SIGFPE:
      return "SIGFPE signal";
    case SIGBUS:
      return "SIGBUS signal";
    default:
      return "fatal signal";
  }
}

// State set at install time and read by the handlers.
int gRecordFd = -1;
struct sigaction gSavedActions[kSignalCount];
std::terminate_handler gSavedTerminate = nullptr;
bool gTookTerminate = false;
bool gOtherTerminate = false;
std::atomic<bool> gInstalled{false};

// The crash in progress: 0 none, 1 a thread is writing its record, 2 written.
std::atomic<int> gState{0};
std::atomic<long> gWriterThread{0};
volatile sig_atomic_t gActiveSignal = 0;
std::atomic<bool> gAlarmFired{false};
struct sigaction gSavedAlarm;

long currentThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

// A fixed buffer that texts and numbers are appended to, then written out in one go.
class RecordBuffer {
 public:
  void append(const char* text) { append(text, strlen(text)); }
  void append(const char* text, size_t count) {
    count = std::min(count, sizeof(data_) - length_);
    memcpy(data_ + length_, text, count);
    length_ += count;
  }
  // A text of unknown origin (an exception's reason) on one line: line breaks and other
  // control characters become spaces, so it cannot break the record apart.
  void appendOneLine(const char* text, size_t limit) {
    for (size_t i = 0; text[i] && i < limit && length_ < sizeof(data_); ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      data_[length_++] = (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    }
  }
  void appendNumber(long long value, int width) {
    char digits[24];
    int count = 0;
    unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value);
    do {
      digits[count++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest && count < 23);
    if (value < 0) append("-", 1);
    for (int i = count; i < width; ++i) append("0", 1);
    while (count) append(&digits[--count], 1);
  }
  // The moment as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'", from the clock alone (gmtime is not safe
  // here).
  void appendInstant() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long days = now.tv_sec / 86400;
    long long seconds = now.tv_sec % 86400;
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long dayOfEra = z - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long mp = (5 * dayOfYear + 2) / 153;
    long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    long long month = mp < 10 ? mp + 3 : mp - 9;
    long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    appendNumber(year, 4);
    append("-");
    appendNumber(month, 2);
    append("-");
    appendNumber(day, 2);
    append("T");
    appendNumber(seconds / 3600, 2);
    append(":");
    appendNumber(seconds / 60 % 60, 2);
    append(":");
    appendNumber(seconds % 60, 2);
    append(".");
    appendNumber(now.tv_nsec / 1000000, 3);
    append("Z");
  }
  void writeTo(int fd) {
    size_t written = 0;
    while (written < length_) {
      ssize_t n = write(fd, data_ + written, length_ - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR && !gAlarmFired) {
        continue;
      } else {
        break;  // an error, or the alarm ended a write that was stuck
      }
    }
    length_ = 0;
  }

 private:
  char data_[4096];
  size_t length_ = 0;
};

// One per process: a second thread that crashes waits for the first.
RecordBuffer gBuffer;

void restoreSignalDispositions() {
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &gSavedActions[i], nullptr);
}

// The first alarm only interrupts what the handler is blocked in (a write to a stuck file),
// and the handler goes on to end the crash. If it comes again the handler itself is stuck
// (say, on a lock the stack walk needs): the process ends at once, by its signal.
void onAlarm(int) {
  if (!gAlarmFired.exchange(true)) {
    alarm(kGraceSeconds);
    return;
  }
  int signal = gActiveSignal ? gActiveSignal : SIGABRT;
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal);
  _exit(128 + signal);
}

void armAlarm(int signal) {
  gActiveSignal = signal;
  struct sigaction action {};
  action.sa_handler = onAlarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK;  // no SA_RESTART: the alarm must interrupt a blocked write
  sigaction(SIGALRM, &action, &gSavedAlarm);
  alarm(kAlarmSeconds);
}

void disarmAlarm() {
  alarm(0);
  sigaction(SIGALRM, &gSavedAlarm, nullptr);
}

// Claims the record for this thread. False when another thread's crash has it; this thread
// then waits until that record is written (the other thread's alarm bounds the wait). A
// thread that crashes again inside its own handler does not wait for itself.
bool claimRecord() {
  int expected = 0;
  if (gState.compare_exchange_strong(expected, 1)) {
    gWriterThread = currentThreadId();
    return true;
  }
  if (gWriterThread == currentThreadId()) return false;
  while (gState.load() == 1) {
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

void beginRecord(const char* reason, size_t reasonLimit) {
  gBuffer.append(kHeader);
  gBuffer.append(kInstantKey);
  gBuffer.appendInstant();
  gBuffer.append("\n");
  gBuffer.append(kMessageKey);
  gBuffer.append(VLCrashHandler::kFatalMessagePrefix);
  gBuffer.appendOneLine(reason, reasonLimit);
  gBuffer.append("\n");
  gBuffer.append(kStackLine);
  gBuffer.append("\n");
  // The message goes out before the stack walk, which is what may hang.
  gBuffer.writeTo(gRecordFd);
}

void writeBacktrace() {
  if (gAlarmFired) return;
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  if (!gAlarmFired) backtrace_symbols_fd(frames, count, gRecordFd);
}

void endRecord() {
  if (gAlarmFired) return;
  gBuffer.append(kEndLine);
  gBuffer.append("\n");
  gBuffer.writeTo(gRecordFd);
}

// A fault the kernel raised for the instruction that made it comes again when the handler
// returns, this time to the earlier disposition, with its real details. Anything sent
// (abort(), kill) would not, so it is raised again; it stays pending until the handler
// returns.
bool comesAgainOnReturn(int signal, const siginfo_t* info) {
  if (!info || info->si_code <= 0) return false;
  if (signal == SIGBUS && (info->si_code == BUS_MCEERR_AO)) return false;
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
}

void onSignal(int signal, siginfo_t* info, void*) {
  int savedErrno = errno;
  if (claimRecord()) {
    armAlarm(signal);
    beginRecord(signalText(signal), 64);
    writeBacktrace();
    endRecord();
    disarmAlarm();
    gState = 2;
  }
  restoreSignalDispositions();
  if (!comesAgainOnReturn(signal, info)) raise(signal);
  errno = savedErrno;
}

// The reason of the exception in flight, into `into`; its recorded call stack, when it is a
// platform exception that has one, into `stack`. Allocation is allowed here (terminate runs
// outside a signal handler), but not required: the texts point into the exception itself.
const char* describeCurrentException(const VLException** platformException) {
  std::exception_ptr current = std::current_exception();
  if (!current) return "std::terminate was called without an exception";
  try {
    std::rethrow_exception(current);
  } catch (const VLException& e) {
    *platformException = &e;
    return e.reason().c_str();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "an exception of an unknown type";
}

[[noreturn]] void onTerminate() {
  if (claimRecord()) {
    armAlarm(SIGABRT);
    const VLException* platformException = nullptr;
    const char* reason = describeCurrentException(&platformException);
    beginRecord(reason, 1024);
    if (platformException && !platformException->callStackSymbols().empty()) {
      for (const auto& frame : platformException->callStackSymbols()) {
        gBuffer.appendOneLine(frame.c_str(), 1024);
        gBuffer.append("\n");
        gBuffer.writeTo(gRecordFd);
      }
    } else {
      writeBacktrace();
    }
    endRecord();
    disarmAlarm();
    gState = 2;
  }
  // The earlier handler (the standard library's, which prints the exception and aborts)
  // ends the process, and the abort goes to the earlier SIGABRT disposition.
  std::terminate_handler earlier = gSavedTerminate;
  VLCrashHandler::restoreHandlers();
  if (earlier) earlier();
  std::abort();
}

bool isDefaultTerminateHandler(std::terminate_handler handler) {
  return handler == &__gnu_cxx::__verbose_terminate_handler || handler == &std::abort;
}

// Installation, import and the rest run in a healthy process.

std::mutex gInstallMutex;
std::mutex gImportMutex;
std::string gDirectory;

constexpr const char* kActiveName = "Active.crashrecord";
constexpr const char* kPendingPrefix = "Pending-";
constexpr const char* kPendingSuffix = ".crashrecord";
// Records kept for a launch that can import them; beyond that the oldest go.
constexpr size_t kMaxPending = 8;
// A record is a few kilobytes; anything much larger is not one of ours.
constexpr size_t kMaxRecordBytes = 1 << 20;

bool isPendingName(const std::string& name) {
  return name.rfind(kPendingPrefix, 0) == 0 && name.size() > strlen(kPendingSuffix) &&
         name.compare(name.size() - strlen(kPendingSuffix), std::string::npos, kPendingSuffix) == 0;
}

std::vector<std::string> pendingIn(const std::string& directory) {
  std::vector<std::string> paths;
  for (const auto& name : platform::fs::contentsOfDirectory(directory))
    if (isPendingName(name)) paths.push_back(platform::fs::appendPath(directory, name));
  return paths;  // names start with the zero-padded time, so this is oldest first
}

// Moves the record a crashed launch left behind out of the way of this launch's file.
void setAsidePreviousRecord(const std::string& directory) {
  std::string active = platform::fs::appendPath(directory, kActiveName);
  auto size = platform::fs::fileSize(active);
  if (size && *size > 0) {
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::string name =
        platform::stringf("%s%015lld-%d%s", kPendingPrefix, static_cast<long long>(now.count()),
                          static_cast<int>(getpid()), kPendingSuffix);
    if (rename(active.c_str(), platform::fs::appendPath(directory, name).c_str()) != 0)
      platform::log("VLCrashHandler: the record of an earlier crash could not be kept: " +
                    std::string(strerror(errno)));
  }
  auto pending = pendingIn(directory);
  for (size_t i = 0; i + kMaxPending < pending.size(); ++i) {
    platform::log("VLCrashHandler: too many crash records wait for a logger; dropped " +
                  pending[i]);
    platform::fs::remove(pending[i]);
  }
}

// Exceptions that the main loop, the queues and the URL sessions caught are errors the
// server should see, not just lines on standard error.
void reportCaught(const char* where, std::exception_ptr exception) {
  auto logger = VLLogger::sharedInstance();
  if (!logger) return;
  std::string reason = "an exception of an unknown type";
  std::optional<std::string> stack;
  try {
    if (exception) std::rethrow_exception(exception);
  } catch (const VLException& e) {
    reason = e.reason();
    stack = VLLoggerProtocol::stackOf(&e);
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
  }
  logger->logError(std::string(where) + " caught an exception: " + reason, VLCrashHandler::kModule,
                   nullptr, stack);
}

struct ParsedRecord {
  std::string message;
  std::optional<std::string> stack;
  std::optional<std::string> instant;
};

// Reads a record file; none, with `error` set, when it holds no record.
std::optional<ParsedRecord> parseRecord(const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("it cannot be read: ") + strerror(errno);
    return std::nullopt;
  }
  std::string bytes;
  char chunk[8192];
  ssize_t n;
  while (bytes.size() < kMaxRecordBytes && (n = read(fd, chunk, sizeof chunk)) > 0)
    bytes.append(chunk, static_cast<size_t>(n));
  close(fd);
  if (bytes.size() > kMaxRecordBytes) bytes.resize(kMaxRecordBytes);
  if (bytes.rfind(kHeader, 0) != 0) {
    error = "it is not a crash record";
    return std::nullopt;
  }
  ParsedRecord record;
  bool haveMessage = false, inStack = false, ended = false;
  std::vector<std::string> frames;
  size_t position = strlen(kHeader);
  while (position < bytes.size() && !ended) {
    size_t end = bytes.find('\n', position);
    bool complete = end != std::string::npos;
    std::string line = bytes.substr(position, complete ? end - position : std::string::npos);
    position = complete ? end + 1 : bytes.size();
    if (inStack) {
      if (line == kEndLine)
        ended = true;
      else if (!line.empty())
        frames.push_back(platform::replacingInvalidUTF8(line));
    } else if (line.rfind(kInstantKey, 0) == 0) {
      std::string text = line.substr(strlen(kInstantKey));
      if (dateFromISO8061String(text)) record.instant = text;
    } else if (line.rfind(kMessageKey, 0) == 0) {
      record.message = platform::replacingInvalidUTF8(line.substr(strlen(kMessageKey)));
      haveMessage = true;
    } else if (line == kStackLine) {
      inStack = true;
    }
  }
  if (!haveMessage) {
    error = "it has no message";
    return std::nullopt;
  }
  if (!ended) frames.push_back("(the record ends here: the crash handler was cut short)");
  std::string stack;
  for (const auto& frame : frames) {
    if (!stack.empty()) stack += "\n";
    stack += frame;
  }
  if (!frames.empty()) record.stack = std::move(stack);
  return record;
}

}  // namespace

bool VLCrashHandler::install(const std::string& directory) {
  std::lock_guard lock(gInstallMutex);
  if (gInstalled) return true;
  std::string folder = directory.empty() ? defaultDirectory() : directory;
  if (auto error = platform::fs::createDirectory(folder, true);
      error && !platform::fs::isDirectory(folder)) {
    platform::log("VLCrashHandler: the folder for crash records cannot be made: " + folder);
    return false;
  }
  setAsidePreviousRecord(folder);
  std::string active = platform::fs::appendPath(folder, kActiveName);
  int fd = open(active.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    platform::log("VLCrashHandler: the crash record file cannot be opened: " + active + ": " +
                  strerror(errno));
    return false;
  }
  gRecordFd = fd;
  gDirectory = folder;

  // The first stack walk loads the unwinder, which allocates; it must not be the handler's.
  void* frames[4];
  backtrace(frames, 4);
  platform::ensureAlternateSignalStack();

  std::terminate_handler current = std::get_terminate();
  gSavedTerminate = current;
  gOtherTerminate = !isDefaultTerminateHandler(current);
  if (!gOtherTerminate) {
    std::set_terminate(onTerminate);
    gTookTerminate = true;
  }
  for (size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &gSavedActions[i]);
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(kSignals[i], &action, nullptr);
  }
  platform::setCaughtExceptionReporter(reportCaught);
  gInstalled = true;
  return true;
}

bool VLCrashHandler::isInstalled() { return gInstalled; }

bool VLCrashHandler::foundOtherTerminateHandler() { return gOtherTerminate; }

std::string VLCrashHandler::defaultDirectory() {
  return platform::fs::appendPath(platform::paths::applicationSupport(), "VLCrashHandler");
}

void VLCrashHandler::restoreHandlers() {
  if (!gInstalled) return;
  if (gTookTerminate) std::set_terminate(gSavedTerminate);
  restoreSignalDispositions();
}

std::vector<std::string> VLCrashHandler::pendingRecords() {
  std::string directory;
  {
    std::lock_guard lock(gInstallMutex);
    directory = gDirectory.empty() ? defaultDirectory() : gDirectory;
  }
  return pendingIn(directory);
}

size_t VLCrashHandler::importPendingRecords() {
  std::lock_guard lock(gImportMutex);
  auto logger = VLLogger::sharedInstance();
  auto engine = logger ? std::dynamic_pointer_cast<VLRoruvLogger>(logger->loggerEngine()) : nullptr;
  if (!engine || !engine->roruvLogger()) return 0;
  auto paths = pendingRecords();
  if (paths.empty()) return 0;
  // A file goes only once the pipeline has taken its log (its buffered outputs keep it in
  // their store from then on), so neither a crash right now nor a full queue loses a record:
  // one the pipeline did not take stays for the next launch.
  struct Taking {
    std::mutex mutex;
    std::condition_variable answered;
    size_t waiting = 0;
    std::vector<std::string> taken;
  };
  auto taking = std::make_shared<Taking>();
  taking->waiting = paths.size();
  size_t imported = 0;
  for (const auto& path : paths) {
    auto done = [taking, path](bool taken) {
      std::lock_guard lock(taking->mutex);
      if (taken) taking->taken.push_back(path);
      --taking->waiting;
      taking->answered.notify_all();
    };
    std::string error;
    if (auto record = parseRecord(path, error)) {
      engine->processKeptLog(record->instant, record->message, kModule, VLLogLevelFatal,
                             record->stack, done);
      ++imported;
    } else {
      engine->processKeptLog(std::nullopt,
                             "The record of an earlier crash could not be read: " + error, kModule,
                             VLLogLevelError, std::nullopt, done);
    }
  }
  std::vector<std::string> removable;
  {
    std::unique_lock lock(taking->mutex);
    if (!taking->answered.wait_for(lock, std::chrono::seconds(5),
                                   [&] { return taking->waiting == 0; }))
      platform::log("VLCrashHandler: the logging pipeline did not take the crash records in time; "
                    "the ones it has not taken stay for the next launch");
    removable = taking->taken;
  }
  for (const auto& path : removable) platform::fs::remove(path);
  return imported;
}

void VLCrashHandler::deploy() {
  install();
  auto logger = VLLogger::sharedInstance();
  if (!logger) return;
  static std::atomic<bool> told{false};
  if (foundOtherTerminateHandler() && !told.exchange(true))
    logger->logDebug("VLCrashHandler is already deployed, doing nothing", kModule);
  platform::DispatchQueue::global().async([] { importPendingRecords(); });
}
