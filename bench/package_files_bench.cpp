// What deciding on the opened descriptor costs a package file's read, against the plain reads
// the cache used before: 1,000 package files of 4 KiB, read whole
//  - in place, as the main thread reads them (a lookup the kernel answers from its caches and
//    reads that never wait): platform::package::readFileIfCached against
//    platform::fs::readFileIfCached of the same absolute path;
//  - on a serving thread: platform::package::open (a lookup kept below the package folder) and
//    a read against platform::fs::ReadableFile::open of the same path and the same read.
// Package and baseline rounds alternate; the tool prints the median time per file of each, the
// spread of the rounds and the ratio (package / plain).
//
//   package_files_bench [rounds]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PackageFiles.h"

namespace {

constexpr int kFiles = 1000;
constexpr std::uint64_t kLimit = 1 << 20;
using Clock = std::chrono::steady_clock;

struct Spread {
  double median, min, max;
};

Spread spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

// Nanoseconds per file of one pass of `read` over every path; a read that fails ends the tool.
double pass(const std::vector<std::string>& paths, const std::function<bool(const std::string&)>& read) {
  auto start = Clock::now();
  for (const auto& path : paths)
    if (!read(path)) {
      std::fprintf(stderr, "a read of %s failed\n", path.c_str());
      std::exit(1);
    }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(paths.size());
}

void report(const char* what, const std::vector<double>& package, const std::vector<double>& plain) {
  Spread a = spread(package), b = spread(plain);
  std::vector<double> ratios;
  for (size_t i = 0; i < package.size(); ++i) ratios.push_back(package[i] / plain[i]);
  Spread r = spread(ratios);
  std::printf("%-10s package %7.0f ns [%.0f..%.0f]  plain %7.0f ns [%.0f..%.0f]  ratio %.2f [%.2f..%.2f]\n", what,
              a.median, a.min, a.max, b.median, b.min, b.max, r.median, r.min, r.max);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 9;
  char folder[] = "/tmp/package-files-bench-XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  std::string package = folder;
  platform::fs::createDirectory(package + "/www", true);
  std::vector<std::string> paths;
  for (int i = 0; i < kFiles; ++i) {
    paths.push_back(package + "/www/file-" + std::to_string(i) + ".js");
    platform::fs::writeFileAtomically(paths.back(), std::string(4096, static_cast<char>('a' + i % 26)));
  }
  platform::Bundle::setMainPath(package);

  auto packageInPlace = [](const std::string& path) { return platform::package::readFileIfCached(path, kLimit).has_value(); };
  auto plainInPlace = [](const std::string& path) { return platform::fs::readFileIfCached(path, kLimit).has_value(); };
  auto packageServing = [](const std::string& path) {
    return platform::fs::readWhole(platform::package::open(path), kLimit).has_value();
  };
  auto plainServing = [](const std::string& path) {
    return platform::fs::readWhole(platform::fs::ReadableFile::open(path), kLimit).has_value();
  };
  // One pass of each warms the caches the in-place reads need.
  pass(paths, plainServing);
  pass(paths, packageServing);

  std::vector<double> inPlace[2], serving[2];
  for (int round = 0; round < rounds; ++round) {
    // Alternate which side goes first.
    bool packageFirst = round % 2 == 0;
    for (int side : {packageFirst ? 0 : 1, packageFirst ? 1 : 0}) {
      inPlace[side].push_back(pass(paths, side == 0 ? packageInPlace : plainInPlace));
      serving[side].push_back(pass(paths, side == 0 ? packageServing : plainServing));
    }
  }
  std::printf("%d files of 4 KiB, %d rounds, time per file (median [min..max])\n", kFiles, rounds);
  report("in place", inPlace[0], inPlace[1]);
  report("serving", serving[0], serving[1]);
  platform::fs::remove(package);
  return 0;
}
