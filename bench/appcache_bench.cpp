// Downloads and verifies one application version of 2,000 files (1 to 32 KiB, each URL
// carrying the file's content hash) from a local nginx over HTTPS with a window of 6, once
// through a cache frame and once with `curl --parallel --parallel-max 6` followed by
// `md5sum -c` of the same files, in alternating rounds, and prints the medians, their spread
// and the ratio (frame / curl + md5sum; the target is at most 1.0).
//
//   appcache_bench [rounds]

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "appcache/VLCacheResources.h"
#include "appcache/VLFileChecksum.h"
#include "support/TestCertificateAuthority.h"

namespace {

constexpr int kFiles = 2000;
constexpr int kWindow = 6;

using Clock = std::chrono::steady_clock;
namespace stdfs = std::filesystem;

struct Resource {
  std::string url;        // "/app/f0001.bin?<content hash>"
  std::string hexDigest;  // what md5sum prints
};

std::string hex(const platform::Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

std::vector<Resource> writeFiles(const std::string& root) {
  std::vector<Resource> resources;
  int i = 0;
  for (const auto& content : bench::writeRandomFiles(root, "/app/f%04d.bin", kFiles)) {
    char path[32];
    std::snprintf(path, sizeof path, "/app/f%04d.bin", i++);
    resources.push_back({std::string(path) + "?" + VLFileChecksum::contentHashOfData(content),
                         hex(VLFileChecksum::md5HashOfData(content))});
  }
  return resources;
}

// Each run writes into folders of its own, for the frame and for curl alike: deleting
// thousands of files just before creating as many makes the file system look for inodes it
// may reuse, a cost that would dwarf the work measured.
double runFrame(const std::string& host, int run, const std::vector<Resource>& resources) {
  auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setHTTPMaximumConnectionsPerHost(kWindow);
  auto session = platform::URLSession::sessionWithConfiguration(configuration);
  platform::Value list = platform::Value::array();
  for (const auto& resource : resources) list.push_back(resource.url);

  std::mutex mutex;
  std::condition_variable done;
  std::optional<bool> outcome;
  auto start = Clock::now();
  auto frame = VLCacheResources::initForHostname(
      host, "app" + std::to_string(run), "v1", false, [session] { return session; }, {}, {},
      [&](bool all) {
        std::lock_guard lock(mutex);
        outcome = all;
        done.notify_one();
      });
  frame->setMaxNumberOfRetries(10);
  frame->populateCacheEntriesForResourcePool({}, nullptr, list, nullptr, nullptr);
  frame->startDownload();
  {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return outcome.has_value(); });
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!*outcome || frame->processedResourcesCount() != kFiles)
    bench::fail("the frame did not download every file");
  return seconds;
}

double runCurl(const std::string& folder, int port, int run,
               const std::vector<Resource>& resources) {
  const std::string out = folder + "/curl-out-" + std::to_string(run);
  stdfs::create_directories(out);
  const std::string list = folder + "/urls.cfg", sums = folder + "/sums.md5";
  {
    std::ofstream urls(list), digests(sums);
    for (size_t i = 0; i < resources.size(); ++i) {
      urls << "url = \"https://127.0.0.1:" << port << resources[i].url << "\"\noutput = \"" << out
           << "/" << i << "\"\n";
      digests << resources[i].hexDigest << "  " << out << "/" << i << "\n";
    }
  }
  const auto& authority = testing_support::TestCertificateAuthority::shared();
  auto start = Clock::now();
  if (!bench::run({"curl", "--silent", "--no-progress-meter", "--fail", "--parallel",
                   "--parallel-max", std::to_string(kWindow), "--cacert",
                   authority.caCertificateFile(), "--config", list}))
    bench::fail("curl failed");
  if (!bench::run({"md5sum", "--quiet", "--strict", "-c", sums})) bench::fail("md5sum failed");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  // nginx's files, the served files and the cache's data root, removed at the end.
  bench::Scratch scratch;
  const std::string folder = scratch.folder();
  auto resources = writeFiles(scratch.root());

  int port = bench::freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  std::vector<double> frameTimes, curlTimes;
  {
    bench::Nginx nginx(folder, scratch.root(), port);
    runFrame(host, 0, resources);  // warm-up: page cache, TLS libraries
    runCurl(folder, port, 0, resources);
    for (int round = 1; round <= rounds; ++round) {
      // Alternate which goes first, so neither always runs on a warmer machine.
      if (round % 2 == 0) {
        frameTimes.push_back(runFrame(host, round, resources));
        curlTimes.push_back(runCurl(folder, port, round, resources));
      } else {
        curlTimes.push_back(runCurl(folder, port, round, resources));
        frameTimes.push_back(runFrame(host, round, resources));
      }
    }
  }

  auto frame = bench::spreadOf(frameTimes);
  auto curl = bench::spreadOf(curlTimes);
  std::printf("%d files, window %d, %d rounds (median [min - max])\n", kFiles, kWindow, rounds);
  std::printf("cache frame (download + verify): %.3f s [%.3f - %.3f]\n", frame.median, frame.low,
              frame.high);
  std::printf("curl --parallel + md5sum -c:     %.3f s [%.3f - %.3f]\n", curl.median, curl.low,
              curl.high);
  std::printf("ratio (frame / curl + md5sum): %.3f (target <= 1.0)\n", frame.median / curl.median);
  return 0;
}
