// Answers 2,000 cached resources (1 to 32 KiB) through VLCustomSchemeHandler, as the web view
// asks for them (the headless web view's recorded tasks, all started at once, answered on the
// main loop, each answer taken as soon as it is complete), against reading the same cached
// files from disk (open, one read into a buffer of the file's size, close), in alternating
// rounds, and prints the medians, their spread, the CPU time of each side and the ratio
// (handler / disk; the target is at most 1.5).
// The cache is filled once from a local nginx over HTTPS, which is stopped before the rounds.
//
//   scheme_bench [rounds]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLCustomSchemeHandler.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLHarborLoader.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/HeadlessWebView.h"
#include "shell/VLProtocolManagerPlugin.h"

namespace {

constexpr int kFiles = 2000;
using Clock = std::chrono::steady_clock;
using platform::webkit::HeadlessWebView;

std::string nameOf(int i) {
  char path[32];
  std::snprintf(path, sizeof path, "/app/f%04d.bin", i);
  return path;
}

// Each answer is taken as soon as it is complete, as the web view takes it (the body is
// checked, counted and let go), so that neither side keeps 2,000 files in memory.
double runHandler(HeadlessWebView& web, const std::string& host, const std::vector<std::string>& listed,
                  size_t expectedBytes) {
  std::vector<std::shared_ptr<HeadlessWebView::RecordedTask>> tasks;
  tasks.reserve(kFiles);
  size_t done = 0, bytes = 0;
  auto take = [&] {
    for (; done < tasks.size() && (tasks[done]->finished || tasks[done]->error); ++done) {
      auto& task = *tasks[done];
      if (!task.finished || !task.response || task.response->statusCode() != 200)
        bench::fail("a resource was not answered from the cache: " + task.request().url().absoluteString());
      bytes += task.data.size();
      std::string().swap(task.data);
    }
    return done == tasks.size();
  };
  auto start = Clock::now();
  // An answer given while its request starts is taken at once too.
  for (int i = 0; i < kFiles; ++i) {
    tasks.push_back(web.startSchemeTask(platform::URLRequest(platform::URL::parse("veltro://" + host + listed[i]).value())));
    take();
  }
  platform::MainLoop::runUntil(take, 120);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (done != tasks.size()) bench::fail("the resources were not all answered");
  if (bytes != expectedBytes) bench::fail("the answers do not add up to the files");
  return seconds;
}

// The plainest honest read of a whole file: open, its size, one read into a buffer of that
// size, close.
std::string readWhole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat info;
  std::string data;
  if (::fstat(fd, &info) == 0) {
    data.resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < data.size()) {
      ssize_t n = ::read(fd, data.data() + got, data.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    data.resize(got);
  }
  ::close(fd);
  return data;
}

double runDisk(const std::vector<std::string>& paths, size_t expectedBytes) {
  auto start = Clock::now();
  size_t bytes = 0;
  for (const auto& path : paths) bytes += readWhole(path).size();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (bytes != expectedBytes) bench::fail("the files do not add up");
  return seconds;
}

// Failures of the fill end the benchmark with their message.
class FillListener : public VLCacheListenerDelegate {
 public:
  void fireOnProgressEvent(std::int64_t, std::int64_t) override {}
  void fireOnErrorEvent(const std::string& message) override { std::fprintf(stderr, "cache: %s\n", message.c_str()); }
  void fireOnFinishEvent() override {}
  void updateStatus(std::int64_t) override {}
  void throwException(const std::string& message) override { std::fprintf(stderr, "cache: %s\n", message.c_str()); }
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 7;
  bench::Scratch scratch;
  auto contents = bench::writeRandomFiles(scratch.root(), "/app/f%04d.bin", kFiles);
  size_t totalBytes = 0;
  platform::Value list = platform::Value::array();
  for (int i = 0; i < kFiles; ++i) {
    totalBytes += contents[i].size();
    list.push_back(nameOf(i) + "?" + VLFileChecksum::contentHashOfData(contents[i]));
  }
  platform::Value maps = {{"/app/start", list[0]}};
  // The page asks for each file by its listed URL, content hash included, as the manifest
  // names it.
  std::vector<std::string> listed;
  for (const auto& item : list) listed.push_back(item.get<std::string>());

  int port = bench::freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  auto cache = VLNativeCache::sharedInstanceWithFirstRun(false, 4, 30);
  cache->setDelegate(std::make_shared<FillListener>());
  cache->setCurrentApplication(host, "app");
  {
    bench::Nginx nginx(scratch.folder(), scratch.root(), port);
    cache->startCaching(host, "app", "v1", list, maps, nullptr, nullptr);
    // The swap is reported through the main loop.
    if (!platform::MainLoop::runUntil([&] { return cache->getRunningVersionToken() == "v1"; }, 120))
      bench::fail("the cache was not filled");
  }

  // The cached copies, as the loader reads them.
  std::vector<std::string> paths;
  auto application = cache->applicationCache(*cache->currentApplication());
  for (int i = 0; i < kFiles; ++i) {
    auto entry = application->getCacheEntryForURL(listed[i]);
    auto path = entry ? VLCacheLocations::getLocalFilePath(*entry) : std::nullopt;
    if (!path) bench::fail("no cached file for " + nameOf(i));
    paths.push_back(*path);
  }

  VLProtocolManagerPlugin::load();
  VLHarborLoaderImpl().deploy();
  auto handler = std::make_shared<VLCustomSchemeHandler>();
  handler->setDefaultHostname(host);
  platform::webkit::WebViewConfiguration configuration;
  configuration.setURLSchemeHandler(handler, VLCustomSchemeHandler::kScheme);
  auto web = std::make_shared<HeadlessWebView>(configuration);

  // Each side's round is timed on the clock and on the process's CPU time (every thread's):
  // the handler spreads its work over threads, the disk reads on one.
  struct Round {
    double seconds, cpu;
  };
  auto cpuNow = [] {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
  };
  auto measured = [&](auto&& run) {
    double cpu = cpuNow();
    double seconds = run();
    return Round{seconds, cpuNow() - cpu};
  };
  auto handlerRound = [&] { return measured([&] { return runHandler(*web, host, listed, totalBytes); }); };
  auto diskRound = [&] { return measured([&] { return runDisk(paths, totalBytes); }); };

  handlerRound();  // warm-up: page cache, the serving threads
  diskRound();
  std::vector<double> handlerTimes, diskTimes, handlerCPU, diskCPU, ratios;
  for (int round = 1; round <= rounds; ++round) {
    Round handler, disk;
    if (round % 2 == 0) {
      handler = handlerRound();
      disk = diskRound();
    } else {
      disk = diskRound();
      handler = handlerRound();
    }
    handlerTimes.push_back(handler.seconds);
    diskTimes.push_back(disk.seconds);
    handlerCPU.push_back(handler.cpu);
    diskCPU.push_back(disk.cpu);
    ratios.push_back(handler.seconds / disk.seconds);
  }
  auto served = bench::spreadOf(handlerTimes);
  auto disk = bench::spreadOf(diskTimes);
  auto ratio = bench::spreadOf(ratios);
  std::printf("%d cached files, %zu bytes, %d alternating rounds (median [min - max])\n", kFiles, totalBytes, rounds);
  std::printf("VLCustomSchemeHandler from the cache: %.4f s [%.4f - %.4f], CPU %.4f s\n", served.median, served.low,
              served.high, bench::spreadOf(handlerCPU).median);
  std::printf("reading the cached files:             %.4f s [%.4f - %.4f], CPU %.4f s\n", disk.median, disk.low,
              disk.high, bench::spreadOf(diskCPU).median);
  std::printf("ratio (handler / disk): %.2f, per round [%.2f - %.2f] (target <= 1.5)\n", served.median / disk.median,
              ratio.low, ratio.high);
  return 0;
}
