// The file plugin's cost against the plainest way to do its work. 1,000 files of 64 KiB are
// written and then read back through the plugin's actions in-process: each command arrives as
// the JSON text the page sends (the data as Base64), runs on the plugin (its work on the
// background queue, as in the shell) and ends as the callback text for the page (the bytes
// read as Base64). The baseline decodes the same Base64, writes each file with
// open/write/close, reads it back with open/read/close and encodes it. Commands go one after
// another, as the baseline does. Command texts are decoded as the shell's command queue decodes
// the page's batches. Plugin and baseline runs alternate; the tool prints the medians, their
// spread and the ratio with the spread of the rounds' ratios (target: at most 2), once in
// elapsed time and once in the processor time of the process, which other work on a shared
// machine disturbs less. The process's allocator is set up as the shell sets up its own. Pin
// it to one core (taskset -c N) and give it a folder on tmpfs: file_bench [FOLDER [ROUNDS]].

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRInvokedUrlCommand.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "plugins/file/HBRFile.h"

using platform::Value;

namespace {

constexpr int kFiles = 1000;
constexpr size_t kFileSize = 64 * 1024;

// Turns each result into the callback text the web view would evaluate, and lets the caller
// wait for it.
class CallbackTextDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    std::string text = HBRCommandDelegateImpl::callbackMessage(callbackId.value_or(""), result.get());
    {
      std::lock_guard lock(mutex_);
      bytes_ += text.size();
      ok_ = ok_ && result && result->status() == HBRResultStatus::OK;
      ++answers_;
    }
    // Woken after the lock is let go, as the shell's main loop is woken without a lock held:
    // a waiter woken under it would only wait again for the lock.
    done_.notify_all();
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { platform::DispatchQueue::global().async(std::move(block)); }
  Value& settings() override { return settings_; }
  Value settings_ = Value::object();
  URLTransformer urlTransformer() const override { return nullptr; }
  void setUrlTransformer(URLTransformer) override {}

  void waitFor(size_t answers) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return answers_ >= answers; });
  }
  bool allOK() {
    std::lock_guard lock(mutex_);
    return ok_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  size_t answers_ = 0;
  size_t bytes_ = 0;
  bool ok_ = true;
};

// The command text decoded as the shell's command queue decodes a batch from the page.
Value decoded(const std::string& text) { return platform::parseJSONText(text).value_or(Value()); }

// The text the page sends for a write. In the shell it arrives whole from the web view; made
// here in one piece, so that the making costs no more than one copy of the data.
std::string writeText(const std::string& id, const std::string& url, const std::string& data) {
  const std::string_view parts[] = {"[\"", id, "\",\"File\",\"write\",[\"", url,
                               "\",{\"HBRType\":\"ArrayBuffer\",\"data\":\"", data, "\"},0]]"};
  std::string text;
  size_t size = 0;
  for (const auto& part : parts) size += part.size();
  text.reserve(size);
  for (const auto& part : parts) text += part;
  return text;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// The processor time of the whole process (all threads, user and system): on a machine that
// other work shares, what the run itself cost.
double cpuNow() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Times {
  double wall = 0, cpu = 0;
};

// Measures from its making to `stop()`.
struct Stopwatch {
  double wall = now(), cpu = cpuNow();
  Times stop() const { return {now() - wall, cpuNow() - cpu}; }
};

std::string payloadBase64() {
  std::string bytes(kFileSize, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 131 + 7) & 0xff);
  return platform::base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

Times pluginRun(HBRFile& plugin, CallbackTextDelegate& delegate, const std::string& data, size_t& answered) {
  Stopwatch watch;
  for (int i = 0; i < kFiles; ++i) {
    std::string url = "hbrfile://localhost/persistent/plugin/f" + std::to_string(i) + ".bin";
    std::string text = writeText("File" + std::to_string(answered), url, data);
    auto command = HBRInvokedUrlCommand::commandFromJson(decoded(text));
    plugin.performAction("write", *command);
    delegate.waitFor(++answered);
  }
  for (int i = 0; i < kFiles; ++i) {
    std::string url = "hbrfile://localhost/persistent/plugin/f" + std::to_string(i) + ".bin";
    std::string text = "[\"File" + std::to_string(answered) + "\",\"File\",\"readAsArrayBuffer\",[\"" + url + "\",0,-1]]";
    auto command = HBRInvokedUrlCommand::commandFromJson(decoded(text));
    plugin.performAction("readAsArrayBuffer", *command);
    delegate.waitFor(++answered);
  }
  return watch.stop();
}

Times posixRun(const std::string& folder, const std::string& data, size_t& checksum) {
  Stopwatch watch;
  for (int i = 0; i < kFiles; ++i) {
    auto bytes = platform::base64Decode(data);
    std::string path = folder + "/f" + std::to_string(i) + ".bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes->data(), bytes->size()) != ssize_t(bytes->size())) std::abort();
    ::close(fd);
  }
  for (int i = 0; i < kFiles; ++i) {
    std::string path = folder + "/f" + std::to_string(i) + ".bin";
    int fd = ::open(path.c_str(), O_RDONLY);
    std::string bytes(kFileSize, '\0');
    if (fd < 0 || ::read(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
    ::close(fd);
    checksum += platform::base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()).size();
  }
  return watch.stop();
}

// What the bridge does around the plugin, without the plugin: the same command texts parsed
// and the same callback texts made, so the plugin's own share can be told apart.
Times bridgeAloneRun(const std::string& data, size_t& checksum) {
  std::string bytes(kFileSize, '\0');
  Stopwatch watch;
  for (int i = 0; i < kFiles; ++i) {
    std::string url = "hbrfile://localhost/persistent/plugin/f" + std::to_string(i) + ".bin";
    std::string text = writeText("File1", url, data);
    auto command = HBRInvokedUrlCommand::commandFromJson(decoded(text));
    auto result = HBRPluginResult::resultWithStatusAsNSInteger(HBRResultStatus::OK, std::int64_t(kFileSize));
    checksum += command->arguments().size() + HBRCommandDelegateImpl::callbackMessage("File1", result.get()).size();
  }
  for (int i = 0; i < kFiles; ++i) {
    std::string url = "hbrfile://localhost/persistent/plugin/f" + std::to_string(i) + ".bin";
    std::string text = "[\"File1\",\"File\",\"readAsArrayBuffer\",[\"" + url + "\",0,-1]]";
    auto command = HBRInvokedUrlCommand::commandFromJson(decoded(text));
    // A fresh buffer of the bytes, handed over as the plugin hands over the bytes it read.
    auto result = HBRPluginResult::resultWithStatusAsArrayBufferFromString(HBRResultStatus::OK, bytes);
    checksum += command->arguments().size() + HBRCommandDelegateImpl::callbackMessage("File1", result.get()).size();
  }
  return watch.stop();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::pair<double, double> spread(const std::vector<double>& values) {
  return {*std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end())};
}

std::string summary(const std::vector<double>& milliseconds) {
  auto [low, high] = spread(milliseconds);
  return platform::stringf("median %.1f ms (%.1f-%.1f)", median(milliseconds), low, high);
}

}  // namespace

// file_bench [FOLDER]: the files go to a fresh folder in FOLDER (default /tmp); a folder on
// tmpfs (/dev/shm) leaves out the disk and shows the plugin's own cost.
int main(int argc, char** argv) {
  platform::MainLoop::setUpAllocator();
  platform::setLogSink([](const std::string&, void*) {}, nullptr);
  std::string pattern = std::string(argc > 1 ? argv[1] : "/tmp") + "/veltro-file-bench-XXXXXX";
  // Seven rounds by default; fewer make a quick check that the tool still works.
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  if (!::mkdtemp(pattern.data())) return 1;
  platform::paths::setDataRoot(pattern);

  auto delegate = std::make_shared<CallbackTextDelegate>();
  auto plugin = std::make_shared<HBRFile>();
  plugin->setCommandDelegate(delegate);
  plugin->pluginInitialize();
  std::string folder = platform::paths::documents() + "/posix";
  platform::fs::createDirectory(folder, true);
  platform::fs::createDirectory(platform::paths::documents() + "/plugin", true);

  std::string data = payloadBase64();
  size_t answered = 0, checksum = 0;
  std::vector<Times> pluginTimes, posixTimes, bridgeTimes;
  for (int round = 0; round < rounds; ++round) {
    pluginTimes.push_back(pluginRun(*plugin, *delegate, data, answered));
    posixTimes.push_back(posixRun(folder, data, checksum));
    bridgeTimes.push_back(bridgeAloneRun(data, checksum));
  }
  std::printf("%d files of %zu KiB written then read back in %s, %d alternating rounds\n", kFiles, kFileSize / 1024,
              pattern.c_str(), rounds);
  for (auto clock : {&Times::wall, &Times::cpu}) {
    auto pick = [&](const std::vector<Times>& times) {
      std::vector<double> values;
      for (const Times& t : times) values.push_back(t.*clock * 1e3);
      return values;
    };
    std::vector<double> actions = pick(pluginTimes), posix = pick(posixTimes), bridge = pick(bridgeTimes);
    // Each round's plugin run against the baseline run beside it.
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) ratios.push_back(actions[size_t(round)] / posix[size_t(round)]);
    auto [ratioMin, ratioMax] = spread(ratios);
    std::printf("%s:\n", clock == &Times::wall ? "elapsed time" : "processor time of the process (all threads)");
    std::printf("  plugin actions: %s\n", summary(actions).c_str());
    std::printf("  POSIX + Base64: %s\n", summary(posix).c_str());
    std::printf("  bridge alone (command and callback texts, no plugin): %s\n", summary(bridge).c_str());
    std::printf("  plugin's own share (plugin actions minus bridge alone): %.1f ms\n", median(actions) - median(bridge));
    std::printf("  ratio %.2f (rounds %.2f-%.2f; target at most 2)\n", median(actions) / median(posix), ratioMin, ratioMax);
  }
  if (!delegate->allOK()) std::printf("SOME ACTIONS FAILED\n");
  platform::fs::remove(pattern);
  return delegate->allOK() && checksum > 0 ? 0 : 1;
}
