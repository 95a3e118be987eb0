// Fetches 2,000 files of 1 to 32 KiB over HTTPS from a local nginx, once through the HTTP
// plugin's sendRequest in-process (command JSON in, callback text out, answers delivered on
// the main loop as in the shell) and once with `curl --parallel --parallel-max 6`, in
// alternating rounds, and prints the median times, their spread and the ratio (plugin / curl;
// the target is at most 1.3).
//
//   http_bench [rounds]

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/MainLoop.h"
#include "plugins/http/VLHttpPlugin.h"
#include "support/TestCertificateAuthority.h"

namespace {

constexpr int kFiles = 2000;
constexpr int kConnections = 6;

using Clock = std::chrono::steady_clock;

// Turns every result into the callback text the page would get, as the host does.
class CountingDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result, const std::optional<std::string>&) override {
    auto text = result->argumentsAsJSON();
    if (!text || text->find("\"error\":null") == std::string::npos) ++failures;
    bytes += text ? text->size() : 0;
    ++answered;
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { block(); }
  platform::Value& settings() override { return settings_; }
  platform::Value settings_ = platform::Value::object();
  URLTransformer urlTransformer() const override { return {}; }
  void setUrlTransformer(URLTransformer) override {}

  std::atomic<int> answered{0}, failures{0};
  std::atomic<size_t> bytes{0};
};

double runPlugin(VLHttpPlugin& plugin, CountingDelegate& delegate, int port) {
  std::vector<std::string> commands;
  for (int i = 0; i < kFiles; ++i)
    commands.push_back(platform::Value::array({"cb" + std::to_string(i), "Http", "sendRequest",
                                               {"r" + std::to_string(i), bench::servedFileURL(port, i), "GET",
                                                platform::Value::object(), 30000, nullptr, false}})
                           .dump());
  delegate.answered = 0;
  auto start = Clock::now();
  for (const auto& text : commands) {
    auto command = HBRInvokedUrlCommand::commandFromJson(platform::Value::parse(text));
    plugin.performAction("sendRequest", *command);
  }
  if (!platform::MainLoop::runUntil([&] { return delegate.answered == kFiles; }, 120))
    bench::fail("the plugin run did not finish");
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (delegate.failures) bench::fail("the plugin run lost files");
  return seconds;
}

double runCurl(const std::string& folder, int port) {
  return bench::timeCurlParallel(folder, bench::servedFileURLs(port, kFiles), kConnections);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  bench::Scratch scratch;
  const std::string folder = scratch.folder();
  size_t totalBytes = 0;
  for (const auto& content : bench::writeRandomFiles(scratch.root(), "/f%04d.bin", kFiles))
    totalBytes += content.size();

  auto delegate = std::make_shared<CountingDelegate>();
  auto plugin = std::make_shared<VLHttpPlugin>();
  plugin->setCommandDelegate(delegate);
  plugin->pluginInitialize();

  int port = bench::freePort();
  std::vector<double> pluginTimes, curlTimes;
  {
    bench::Nginx nginx(folder, scratch.root(), port);
    runPlugin(*plugin, *delegate, port);  // warm-up: page cache, TLS libraries
    runCurl(folder, port);
    for (int round = 0; round < rounds; ++round) {
      pluginTimes.push_back(runPlugin(*plugin, *delegate, port));
      curlTimes.push_back(runCurl(folder, port));
    }
  }
  auto p = bench::spreadOf(pluginTimes);
  auto c = bench::spreadOf(curlTimes);
  std::printf("%d files, %.1f MiB, %d rounds (medians, low-high)\n", kFiles, totalBytes / 1048576.0, rounds);
  std::printf("sendRequest: %.3f s (%.3f-%.3f)\ncurl --parallel: %.3f s (%.3f-%.3f)\n", p.median, p.low, p.high,
              c.median, c.low, c.high);
  std::printf("ratio (plugin / curl): %.3f (target <= 1.3)\n", p.median / c.median);
  return 0;
}
