#pragma once

// What the end-to-end tests share: starting programs with their output in a file, a private
// session bus, and the fixture that runs the shell on a virtual display.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/TestSupport.h"
#include "support/ValuePick.h"
#include "support/VirtualDisplay.h"

namespace e2e {

using platform::Value;
using testing_support::TempDir;

inline std::string readText(const std::string& path) { return platform::fs::readFile(path).value_or(""); }

struct ProgramRun {
  int exitStatus = -1;
  bool timedOut = false;
  std::string output;
  // The stacks of its threads, taken before it was killed for outliving its time (empty
  // otherwise); they are in the test's output as well.
  std::string stacks;
};

// Whether a program that outlives its time is a failure worth its threads' stacks, or what the
// test waits for.
enum class TimeOut { Fails, Expected };

// The stacks of every thread of the running process `pid`, each thread with its name, read by
// eu-stack (elfutils) within `seconds`; when they cannot be read, what stood in the way.
inline std::string threadStacks(pid_t pid, double seconds = 20) {
  std::string command = "timeout -k 2 " + std::to_string(static_cast<int>(seconds)) + " eu-stack -p " +
                        std::to_string(pid) + " 2>&1";
  std::string text;
  if (FILE* out = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t read; (read = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, read);
    int status = pclose(out);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 124 || code == 137)
      text += "(eu-stack did not finish within " + std::to_string(static_cast<int>(seconds)) + " s)\n";
    else if (code != 0 && text.find("TID ") == std::string::npos)
      text += "(no stacks: eu-stack exited with status " + std::to_string(code) + ")\n";
  }
  // eu-stack leaves threads unnamed; their names say which is the main loop, a worker or WebKit's.
  std::string named;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.rfind("TID ", 0) == 0 && line.back() == ':') {
      std::string tid = line.substr(4, line.size() - 5);
      std::string name = readText("/proc/" + std::to_string(pid) + "/task/" + tid + "/comm");
      if (!name.empty() && name.back() == '\n') name.pop_back();
      if (!name.empty()) line.insert(line.size() - 1, " (" + name + ")");
    }
    named += line + "\n";
    start = end + 1;
  }
  return named;
}

// Writes the stacks of a program about to be killed for outliving its time into the test's
// output (standard error) and answers them: a freeze leaves a trace even when the program
// printed nothing.
inline std::string reportStacksBeforeKill(pid_t pid, const std::string& program, double seconds) {
  std::string stacks = threadStacks(pid);
  std::fprintf(stderr, "=== %s (process %d) did not end within %g s; the stacks of its threads before it is killed:\n%s=== end of the stacks of process %d\n",
               program.c_str(), static_cast<int>(pid), seconds, stacks.c_str(), static_cast<int>(pid));
  std::fflush(stderr);
  return stacks;
}

// Starts a program with its output in a file and answers its process id; `stopProgram` ends it.
inline pid_t startProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                          const std::string& logPath) {
  pid_t pid = fork();
  if (pid == 0) {
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a program with its output in a file, killing it when it outlives `seconds` (after
// writing its threads' stacks into the test's output, unless the test expects it to run on).
inline ProgramRun runProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment, double seconds,
               const std::string& logPath, TimeOut onTimeOut = TimeOut::Fails) {
  ProgramRun run;
  pid_t pid = startProgram(args, environment, logPath);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      run.timedOut = true;
      if (onTimeOut == TimeOut::Fails) run.stacks = reportStacksBeforeKill(pid, args.front(), seconds);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!run.timedOut && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  run.output = readText(logPath);
  return run;
}

// Copies `from` to `to`, putting the test server's address in place of every "@HOST@".
inline void configureHost(const std::string& from, const std::string& to, const std::string& host) {
  std::string text = readText(from);
  for (size_t at; (at = text.find("@HOST@")) != std::string::npos;) text.replace(at, 6, host);
  EXPECT_FALSE(platform::fs::writeFileAtomically(to, text)) << to;
}

// Writes `text` to `path`, making its folders.
inline void writeText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_FALSE(platform::fs::writeFileAtomically(path, text)) << path;
}

#ifdef VELTRO_E2E_SERVING_WWW
// A package of ES modules, a module worker and WebAssembly, made from tests/e2e/serving: the
// web folder, the bridge script and a WebAssembly module exporting add(a, b); `config` is its
// "config.xml" and has no navigation filter.
inline void writeServingPackage(const std::string& package, const std::string& config) {
  std::filesystem::create_directories(package);
  std::filesystem::copy(VELTRO_E2E_SERVING_WWW, package + "/www", std::filesystem::copy_options::recursive);
  std::filesystem::copy(std::string(VELTRO_EXAMPLE_PACKAGE) + "/www/harbor.js", package + "/www/harbor.js");
  std::filesystem::copy(std::string(VELTRO_EXAMPLE_PACKAGE) + "/Info.plist", package + "/Info.plist");
  static const char kAdd[] = "\0asm\x01\0\0\0\x01\x07\x01\x60\x02\x7f\x7f\x01\x7f\x03\x02\x01\0\x07\x07\x01"
                             "\x03" "add\0\0\x0a\x09\x01\x07\0\x20\0\x20\x01\x6a\x0b";
  writeText(package + "/www/add.wasm", std::string(kAdd, sizeof kAdd - 1));
  // Three seconds of WebM video, made beside the package (whose path need not be UTF-8).
  std::string clip = std::filesystem::path(package).parent_path().string() + "/clip-" + std::to_string(getpid()) + ".webm";
  std::string command = "gst-launch-1.0 -q videotestsrc num-buffers=90 ! video/x-raw,width=160,height=120,framerate=30/1"
                        " ! vp8enc deadline=1 ! webmmux ! filesink location='" + clip + "' > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::filesystem::rename(clip, package + "/www/clip.webm");
  writeText(package + "/config.xml", config);
}
#endif

inline void stopProgram(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Stops a started program that did not do in `seconds` what the test waited for, writing its
// threads' stacks into the test's output first.
inline void stopTimedOutProgram(pid_t pid, const std::string& program, double seconds) {
  if (pid <= 0) return;
  reportStacksBeforeKill(pid, program, seconds);
  stopProgram(pid);
}

// Waits until the file at `path` holds `text`.
inline bool outputContains(const std::string& path, const std::string& text, double seconds) {
  return testing_support::waitUntil([&] { return readText(path).find(text) != std::string::npos; }, seconds);
}

// The JSON that a page wrote to the console after `marker`, or null.
inline Value consoleReport(const std::string& output, const std::string& marker) {
  auto at = output.find(marker);
  if (at == std::string::npos) return nullptr;
  auto end = output.find('\n', at);
  return Value::parse(output.substr(at + marker.size(), end - at - marker.size()), nullptr, false);
}

// A private D-Bus session bus for the tests that need one; gone with the object.
class PrivateSessionBus {
 public:
  PrivateSessionBus() {
    FILE* out = popen("dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 2>/dev/null", "r");
    if (!out) return;
    char line[512];
    if (fgets(line, sizeof line, out)) address_ = std::string(line).substr(0, std::string(line).find('\n'));
    if (fgets(line, sizeof line, out)) pid_ = std::atoi(line);
    pclose(out);
  }
  ~PrivateSessionBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  bool ok() const { return !address_.empty() && pid_ > 0; }
  std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

 private:
  std::string address_;
  pid_t pid_ = 0;
};

class E2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(display_.ok()) << "no X display and Xvfb could not start"; }

  // Tests never reach the session bus of whoever runs them.
  static constexpr const char* kNoSessionBus = "DBUS_SESSION_BUS_ADDRESS=";
  // Nor wait for a person: the camera's gallery answers from its listing, without a window.
  static constexpr const char* kNoChooserWindow = "VELTRO_CAMERA_CHOOSER=list";

  std::vector<std::string> withDefaults(std::vector<std::string> environment) const {
    environment.insert(environment.begin(), {"NO_AT_BRIDGE=1", kNoSessionBus, kNoChooserWindow, "XDG_RUNTIME_DIR=" + temp_.path()});
    return environment;
  }
  ProgramRun shell(const std::string& program, std::vector<std::string> args, std::vector<std::string> environment = {},
                   double seconds = 45, TimeOut onTimeOut = TimeOut::Fails) {
    args.insert(args.begin(), program);
    return runProgram(args, withDefaults(std::move(environment)), seconds, temp_.file("shell.log"), onTimeOut);
  }
  pid_t startShell(const std::string& program, std::vector<std::string> args, std::vector<std::string> environment,
                   const std::string& log) {
    args.insert(args.begin(), program);
    return startProgram(args, withDefaults(std::move(environment)), log);
  }
  // A copy of a package that a test may change.
  std::string copyPackage(const std::string& from, const std::string& name) {
    std::string to = temp_.file(name);
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
    return to;
  }

  // Runs `program` on `package` in the data root "data" (with `extra` arguments before the
  // package), expecting it to end well, and answers what its page reported (null when nothing);
  // `run` keeps the run for the assertions.
  Value runPackage(const std::string& program, const std::string& package, ProgramRun& run,
                   std::vector<std::string> environment = {}, std::vector<std::string> extra = {},
                   double seconds = 45) {
    std::string report = temp_.file("report.json");
    std::filesystem::remove(report);
    std::vector<std::string> args{"--data-root", temp_.file("data")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(package);
    environment.push_back("VELTRO_E2E_REPORT=" + report);
    run = shell(program, args, std::move(environment), seconds);
    EXPECT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    return Value::parse(readText(report), nullptr, false);
  }

  testing_support::VirtualDisplay display_;
  TempDir temp_;
};

}  // namespace e2e
