#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "LoggingFixtures.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"
#include "shell/VLCrashHandler.h"
#include "shell/VLLog.h"
#include "shell/VLLogger.h"
#include "shell/VLRoruvLogger.h"
#include "support/TestSupport.h"

using platform::Value;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_WHERE_THE_SANITIZER_OWNS_SIGNALS() \
  GTEST_SKIP() << "the sanitizer handles fatal signals and stack overflows itself"
#else
#define SKIP_WHERE_THE_SANITIZER_OWNS_SIGNALS()
#endif

const std::string kPrefix = VLCrashHandler::kFatalMessagePrefix;

std::string killedBy(int signal) { return std::string("killed by ") + strsignal(signal); }

// Runs `crash` in a forked child that has installed the crash handler on `directory`, and
// says how the child ended. A child still alive after 20 s is killed and reported as hung:
// every crash must end well within the handler's alarm.
std::string crashInChild(const std::string& directory, const std::function<void()>& crash,
                 const std::function<void()>& beforeInstall = {}) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    if (beforeInstall) beforeInstall();
    if (!VLCrashHandler::install(directory)) _exit(90);
    // An exception must escape as it would from the shell's own code, not into the test
    // framework's catch.
    [&]() noexcept { crash(); }();
    _exit(91);  // the crash did not happen
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFSIGNALED(status) ? killedBy(WTERMSIG(status))
                             : "exited with " + std::to_string(WEXITSTATUS(status));
}

std::string activeRecord(const std::string& directory) {
  return platform::fs::readFile(directory + "/Active.crashrecord").value_or("");
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Deep enough to overflow any thread's stack; the volatile guard keeps it from looking
// endless to the compiler.
volatile bool gKeepRecursing = true;
__attribute__((noinline)) int recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (!gKeepRecursing) return pad[0];
  return recurse(depth + 1) + pad[0];
}

void segfault() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// An earlier SIGSEGV handler: leaves a mark, then lets the fault end the process.
std::string gMarkPath;
void earlierSegvHandler(int, siginfo_t*, void*) {
  int fd = open(gMarkPath.c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd >= 0) close(fd);
  signal(SIGSEGV, SIG_DFL);
}

[[noreturn]] void programTerminate() { _exit(97); }

// A pipe that is full, so any blocking write to it waits for ever.
int fullPipe() {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK) != 0) _exit(92);
  fcntl(ends[1], F_SETPIPE_SZ, 4096);
  char block[512] = {};
  while (write(ends[1], block, sizeof block) > 0) {
  }
  fcntl(ends[1], F_SETFL, 0);
  return ends[1];
}

// The descriptor the crash handler writes its record to.
int recordDescriptor() {
  for (int fd = 3; fd < 1024; ++fd) {
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 &&
        std::string(target, static_cast<size_t>(n)).find("Active.crashrecord") != std::string::npos)
      return fd;
  }
  _exit(93);
}

// Nothing here may allocate: the thread waited for holds the heap's lock.
void waitUntilSleeping(long thread) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%ld/stat", thread);
  for (int i = 0; i < 2000; ++i) {
    char stat[512] = {};
    int fd = open(path, O_RDONLY);
    ssize_t n = fd >= 0 ? read(fd, stat, sizeof stat - 1) : -1;
    if (fd >= 0) close(fd);
    const char* end = n > 0 ? strrchr(stat, ')') : nullptr;
    if (end && end[1] == ' ' && end[2] == 'S') return;
    usleep(1000);
  }
}

}  // namespace

TEST(VLCrashHandler, FatalSignalsLeaveOneRecordAndTheProcessEndsByTheSignal) {
  SKIP_WHERE_THE_SANITIZER_OWNS_SIGNALS();
  struct Case {
    const char* name;
    int signal;
    std::function<void()> crash;
  };
  const std::vector<Case> cases = {
      {"SIGSEGV", SIGSEGV, segfault},
      {"SIGABRT", SIGABRT, [] { std::abort(); }},
      {"SIGBUS", SIGBUS,
       [] {  // reading a mapped page past the end of its file
         auto* page = static_cast<volatile char*>(
             mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(tmpfile()), 0));
         (void)page[0];
       }},
      {"stack overflow on the main thread", SIGSEGV, [] { recurse(0); }},
      {"stack overflow on a queue's worker", SIGSEGV,
       [] {
         platform::DispatchQueue::makeSerial("overflow")->async([] { recurse(0); });
         sleep(30);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir dir;
    ASSERT_EQ(crashInChild(dir.path(), c.crash), killedBy(c.signal));
    std::string record = activeRecord(dir.path());
    EXPECT_EQ(occurrences(record, "VLCrashHandler crash record\n"), 1u) << record;
    EXPECT_NE(record.find("message: " + kPrefix + "SIG" + sigabbrev_np(c.signal) +
                          " signal\nstack:\n"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\nend of record\n"), std::string::npos) << record;
    EXPECT_GT(occurrences(record, "\n"), 6u) << "no frames: " << record;
  }

  // The disposition in place before keeps its handler and flags and gets the fault after the
  // record is written.
  testing_support::TempDir dir;
  gMarkPath = dir.file("earlier-handler-ran");
  std::string ended = crashInChild(dir.path(), segfault, [] {
    struct sigaction earlier {};
    earlier.sa_sigaction = earlierSegvHandler;
    earlier.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &earlier, nullptr);
  });
  EXPECT_EQ(ended, killedBy(SIGSEGV));
  EXPECT_TRUE(platform::fs::exists(gMarkPath));
  EXPECT_EQ(occurrences(activeRecord(dir.path()), "end of record"), 1u);
}

TEST(VLCrashHandler, UncaughtExceptionsLeaveARecordAndGoOnToTheEarlierTerminateHandler) {
  SKIP_WHERE_THE_SANITIZER_OWNS_SIGNALS();
  testing_support::TempDir dir;
  // The standard library's handler runs after the record: it names the exception and aborts.
  std::string ended = crashInChild(dir.path(), [&] {
    dup2(open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0600), 2);
    throw std::runtime_error("disk on fire\r\nsecond line");
  });
  EXPECT_EQ(ended, killedBy(SIGABRT));
  EXPECT_NE(platform::fs::readFile(dir.file("stderr"))
                .value_or("")
                .find("terminate called after throwing an instance of 'std::runtime_error'"),
            std::string::npos);
  std::string record = activeRecord(dir.path());
  EXPECT_NE(record.find("message: " + kPrefix + "disk on fire  second line\nstack:\n"),
            std::string::npos)
      << record;
  // The abort that follows is not a second crash.
  EXPECT_EQ(occurrences(record, "VLCrashHandler crash record"), 1u) << record;

  // A platform exception's own call stack is the record's stack.
  testing_support::TempDir second;
  ended = crashInChild(second.path(), [] {
    throw VLException("NSInternalInconsistencyException", "bad state", {"frame one", "frame two"});
  });
  EXPECT_EQ(ended, killedBy(SIGABRT));
  EXPECT_NE(activeRecord(second.path())
                .find(kPrefix + "bad state\nstack:\nframe one\nframe two\nend of record\n"),
            std::string::npos)
      << activeRecord(second.path());

  // A terminate handler of the program's own stays; the signals are still taken.
  testing_support::TempDir third;
  ended = crashInChild(
      third.path(),
      [] {
        if (std::get_terminate() != programTerminate) _exit(94);
        if (!VLCrashHandler::foundOtherTerminateHandler()) _exit(95);
        segfault();
      },
      [] { std::set_terminate(programTerminate); });
  EXPECT_EQ(ended, killedBy(SIGSEGV));
  EXPECT_NE(activeRecord(third.path()).find("SIGSEGV signal"), std::string::npos);
}

TEST(VLCrashHandler, ACrashStillEndsWhenTheAllocatorIsLockedOrTheRecordFileIsStuck) {
  SKIP_WHERE_THE_SANITIZER_OWNS_SIGNALS();
  // Another thread holds the main heap's lock (malloc_stats keeps it while it prints to a
  // standard error that cannot take more): a handler that allocated would wait for ever.
  testing_support::TempDir dir;
  std::string ended = crashInChild(dir.path(), [] {
    dup2(fullPipe(), 2);
    std::atomic<long> holder{0};
    std::thread([&] {
      holder = syscall(SYS_gettid);
      malloc_stats();
    }).detach();
    while (!holder) std::this_thread::yield();
    waitUntilSleeping(holder);
    segfault();
  });
  EXPECT_EQ(ended, killedBy(SIGSEGV));
  EXPECT_NE(activeRecord(dir.path()).find("end of record"), std::string::npos);

  // The record's own file blocks: the alarm interrupts the write and the crash goes on.
  testing_support::TempDir stuck;
  ended = crashInChild(stuck.path(), [] {
    dup2(fullPipe(), recordDescriptor());
    segfault();
  });
  EXPECT_EQ(ended, killedBy(SIGSEGV));
}

namespace {

// A logger whose server output keeps what it receives.
std::shared_ptr<VLRoruvLogger> startLogger() {
  roruv::RRVOutputClassRegistry::shared().registerClass(VLRoruvLogger::kServerOutputClass, [] {
    return std::make_shared<shell_test::RecordOutput>();
  });
  auto engine = std::make_shared<VLRoruvLogger>(
      "example.org", "app", std::nullopt, std::nullopt, std::nullopt, "agent",
      std::make_shared<VLApplicationInfo>(Value::object()),
      VLDeviceInfo::initWithCommandDelegate(nullptr, nullptr));
  VLLogger::initializeWithEngine(engine);
  return engine;
}

std::vector<Value> received(const VLRoruvLogger& engine) {
  engine.roruvLogger()->waitUntilIdle(5);
  return std::dynamic_pointer_cast<shell_test::RecordOutput>(engine.roruvLogger()->outputs().at(1))
      ->received();
}

}  // namespace

TEST(VLCrashHandler, TheNextLaunchImportsTheRecordOnceAsAnErrorLog) {
  testing_support::TempDir dir;
  ASSERT_EQ(crashInChild(dir.path(), [] { std::abort(); }), killedBy(SIGABRT));
  const std::string written = activeRecord(dir.path());

  // The next launch: the handler keeps the record aside, the logger starts, the import runs.
  ASSERT_TRUE(VLCrashHandler::install(dir.path()));
  ASSERT_EQ(VLCrashHandler::pendingRecords().size(), 1u);
  EXPECT_EQ(VLCrashHandler::importPendingRecords(), 0u) << "no logger yet: the record waits";
  ASSERT_EQ(VLCrashHandler::pendingRecords().size(), 1u);
  auto engine = startLogger();
  EXPECT_EQ(VLCrashHandler::importPendingRecords(), 1u);
  EXPECT_TRUE(VLCrashHandler::pendingRecords().empty());
  EXPECT_EQ(VLCrashHandler::importPendingRecords(), 0u);

  auto records = received(*engine);
  ASSERT_EQ(records.size(), 1u);
  const Value& record = records[0];
  EXPECT_EQ(record["logType"], "error");
  EXPECT_EQ(record["moduleName"], "VLCrashHandler");
  EXPECT_EQ(record["message"], kPrefix + "SIGABRT signal");
  EXPECT_NE(record["stack"].get<std::string>().find("\n"), std::string::npos);
  EXPECT_NE(written.find("instant: " + record["instant"].get<std::string>() + "\n"),
            std::string::npos);
}

TEST(VLCrashHandler, DamagedRecordsBecomeLogsAndAreRemoved) {
  testing_support::TempDir dir;
  dir.write("Pending-000000000000001-1.crashrecord", "GET / HTTP/1.1\r\n\r\n");
  // Cut short by the alarm, with bytes that are not UTF-8 and an instant that is no date.
  dir.write("Pending-000000000000002-1.crashrecord",
            "VLCrashHandler crash record\ninstant: 2024-13-45T99:00:00.000Z\nmessage: " + kPrefix +
                "SIGBUS signal \xff\xfe\nstack:\n./shell(+0x1) [0x1]\n./shell(+0x2");
  dir.write("Pending-000000000000003-1.crashrecord", std::string(3 << 20, 'x'));
  ASSERT_TRUE(VLCrashHandler::install(dir.path()));
  auto engine = startLogger();

  EXPECT_EQ(VLCrashHandler::importPendingRecords(), 1u);
  EXPECT_TRUE(VLCrashHandler::pendingRecords().empty());
  auto records = received(*engine);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["message"],
            "The record of an earlier crash could not be read: it is not a crash record");
  EXPECT_EQ(records[1]["message"], kPrefix + "SIGBUS signal \xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(records[1]["stack"],
            "./shell(+0x1) [0x1]\n./shell(+0x2\n(the record ends here: the crash handler was cut "
            "short)");
  EXPECT_EQ(records[2]["message"],
            "The record of an earlier crash could not be read: it is not a crash record");
}

TEST(VLCrashHandler, WhatTheLoopsAndQueuesCatchIsLoggedAsAnError) {
  testing_support::TempDir dir;
  ASSERT_TRUE(VLCrashHandler::install(dir.path()));
  auto engine = startLogger();
  testing_support::LogCapture log;

  platform::MainLoop::post([] {
    throw VLException("NSRangeException", "index 7 beyond bounds", {"a", "b"});
  });
  platform::MainLoop::runFor(0.05);
  platform::DispatchQueue::global().async([] { throw std::runtime_error("worker fault"); });
  ASSERT_TRUE(testing_support::waitUntil([&] { return received(*engine).size() == 2; }, 5));
  auto records = received(*engine);
  EXPECT_EQ(records[0]["message"], "The main loop caught an exception: index 7 beyond bounds");
  EXPECT_EQ(records[0]["stack"], "a\nb");
  EXPECT_EQ(records[0]["logType"], "error");
  EXPECT_EQ(records[1]["message"], "A dispatch queue caught an exception: worker fault");
  EXPECT_TRUE(log.contains("A dispatch queue caught an exception: worker fault"));
}

namespace {
// Keeps what it receives, but holds the pipeline's thread in each log while the gate is shut.
class GatedRecordOutput : public shell_test::RecordOutput {
 public:
  static inline std::mutex gateMutex;
  static inline std::condition_variable opened;
  static inline bool open = true;
  static inline std::atomic<bool> entered{false};
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override {
    entered = true;
    {
      std::unique_lock lock(gateMutex);
      opened.wait(lock, [] { return open; });
    }
    RecordOutput::emitLog(log);
  }
  static void setOpen(bool value) {
    {
      std::lock_guard lock(gateMutex);
      open = value;
    }
    opened.notify_all();
  }
};
}  // namespace

TEST(VLCrashHandler, ARecordThePipelineDidNotTakeStaysForTheNextImport) {
  testing_support::TempDir dir;
  dir.write("Pending-000000000000001-1.crashrecord",
            "VLCrashHandler crash record\ninstant: 2024-05-01T10:20:30.123Z\nmessage: " + kPrefix +
                "SIGBUS signal\nstack:\nframe\nend of record\n");
  ASSERT_TRUE(VLCrashHandler::install(dir.path()));
  roruv::RRVOutputClassRegistry::shared().registerClass(
      VLRoruvLogger::kServerOutputClass, [] { return std::make_shared<GatedRecordOutput>(); });
  GatedRecordOutput::setOpen(false);
  auto engine = std::make_shared<VLRoruvLogger>(
      "example.org", "app", std::nullopt, std::nullopt, std::nullopt, "agent",
      std::make_shared<VLApplicationInfo>(Value::object()),
      VLDeviceInfo::initWithCommandDelegate(nullptr, nullptr));
  VLLogger::initializeWithEngine(engine);
  auto& pipeline = *engine->roruvLogger();
  engine->processLog("holds the pipeline", "Test", std::nullopt, 3, Value::object(), std::nullopt);
  ASSERT_TRUE(testing_support::waitUntil([] { return GatedRecordOutput::entered.load(); }, 5));

  // The urgent line is full; the import's record pushes out the oldest filler, and enough
  // later errors push out the record itself.
  std::atomic<size_t> fillersLost{0};
  auto filler = [&] {
    pipeline.postLog(std::make_shared<VLLog>("filler", std::nullopt, 5, nullptr, std::nullopt,
                                             std::nullopt, std::nullopt, std::nullopt),
                     *engine->serverTag(), roruv::RRVLogger::Priority::Urgent,
                     [&](bool taken) { fillersLost += !taken; });
  };
  for (size_t i = 0; i < roruv::RRVLogger::kMostWaitingUrgentLogs; ++i) filler();
  std::thread import([] { VLCrashHandler::importPendingRecords(); });
  ASSERT_TRUE(testing_support::waitUntil([&] { return fillersLost == 1; }, 5));
  for (size_t i = 0; i < roruv::RRVLogger::kMostWaitingUrgentLogs; ++i) filler();
  import.join();
  EXPECT_EQ(VLCrashHandler::pendingRecords().size(), 1u);

  GatedRecordOutput::setOpen(true);
  ASSERT_TRUE(pipeline.waitUntilIdle(10));
  EXPECT_EQ(VLCrashHandler::importPendingRecords(), 1u);
  EXPECT_TRUE(VLCrashHandler::pendingRecords().empty());
}
