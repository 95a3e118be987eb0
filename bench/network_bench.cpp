// Fetches 2,000 files of 1 to 32 KiB over HTTPS from a local nginx with 6 connections, once
// through a URLSession and once with `curl --parallel --parallel-max 6`, several rounds each,
// and prints the median times and their ratio (session / curl; the target is at most 1.1).
//
// nginx runs on 127.0.0.1 with its own configuration and prefix in a temporary folder, with a
// certificate of the test certificate authority, and is stopped at the end.
//
//   network_bench [rounds]

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "platform/net/URLSession.h"
#include "support/TestCertificateAuthority.h"

namespace {

constexpr int kFiles = 2000;
constexpr int kConnections = 6;

using Clock = std::chrono::steady_clock;

double runSession(int port, size_t expectedBytes) {
  auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setHTTPMaximumConnectionsPerHost(kConnections);
  auto session = platform::URLSession::sessionWithConfiguration(configuration);
  std::mutex mutex;
  std::condition_variable done;
  int remaining = kFiles;
  std::atomic<size_t> bytes{0};
  std::atomic<int> failures{0};
  std::vector<platform::URLRequest> requests;
  for (int i = 0; i < kFiles; ++i) requests.emplace_back(*platform::URL::parse(bench::servedFileURL(port, i)));

  auto start = Clock::now();
  for (const auto& request : requests) {
    session
        ->dataTaskWithRequest(request,
                              [&](const auto& data, const auto& response, const auto& error) {
                                if (error || !response || response->statusCode() != 200)
                                  ++failures;
                                else
                                  bytes += data->size();
                                std::lock_guard lock(mutex);
                                if (--remaining == 0) done.notify_one();
                              })
        ->resume();
  }
  {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return remaining == 0; });
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (failures || bytes != expectedBytes) bench::fail("the session run lost files");
  return seconds;
}

double runCurl(const std::string& folder, int port) {
  return bench::timeCurlParallel(folder, bench::servedFileURLs(port, kFiles), kConnections);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  // nginx's files, the served files and the session's data root, removed at the end.
  bench::Scratch scratch;
  const std::string folder = scratch.folder();
  size_t totalBytes = 0;
  for (const auto& content : bench::writeRandomFiles(scratch.root(), "/f%04d.bin", kFiles))
    totalBytes += content.size();

  int port = bench::freePort();
  std::vector<double> sessionTimes, curlTimes;
  {
    bench::Nginx nginx(folder, scratch.root(), port);
    runSession(port, totalBytes);  // warm-up: page cache, TLS libraries
    runCurl(folder, port);
    for (int round = 0; round < rounds; ++round) {
      sessionTimes.push_back(runSession(port, totalBytes));
      curlTimes.push_back(runCurl(folder, port));
    }
  }

  double session = bench::spreadOf(sessionTimes).median;
  double curl = bench::spreadOf(curlTimes).median;
  std::printf("%d files, %.1f MiB, %d connections, %d rounds (medians)\n", kFiles,
              totalBytes / 1048576.0, kConnections, rounds);
  std::printf(
      "URLSession: %.3f s\ncurl --parallel: %.3f s\nratio (session / curl): %.3f (target <= 1.1)\n",
      session, curl, session / curl);
  return 0;
}
