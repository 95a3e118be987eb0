// The real web view under Xvfb: the shell's page fetching 2,000 cached resources (1 to 32
// KiB) through "veltro" from the application cache, against the bare WebKitGTK program's
// scheme handler serving the same files from disk. Both pages run the same script
// (bench/webview/scheme/bench.js), eight fetches at a time, and time themselves with
// performance.now() from one second after their load event. The cache is filled once, untimed, from a local nginx over HTTPS, which
// is stopped before the rounds; the rounds alternate the two programs, and the medians, their
// spread, the spread of the ratio of each round's pair and the ratio of the medians (shell / bare;
// the target is at most 1.15) are printed.
//
//   scheme_webview_bench BARE SHELL PACKAGE BENCH_JS HARBOR_JS [rounds]
//
// PACKAGE is the end-to-end "veltro" package (its Info.plist and www); SHELL is the shell
// with the seed plugin that fills the cache. Run it through bench/scheme_webview_bench.sh.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "appcache/VLFileChecksum.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/TestCertificateAuthority.h"

namespace {

constexpr int kFiles = 2000;
namespace stdfs = std::filesystem;

std::string readText(const std::string& path) { return platform::fs::readFile(path).value_or(""); }

void write(const std::string& path, const std::string& text) {
  stdfs::create_directories(stdfs::path(path).parent_path());
  if (platform::fs::writeFileAtomically(path, text)) bench::fail("cannot write " + path);
}

const char* kConfig = R"(<?xml version='1.0' encoding='utf-8'?>
<widget id="com.veltro.e2e.scheme" version="1.0.0" xmlns="http://www.w3.org/ns/widgets">
    <name>Veltro scheme benchmark</name>
    <content src="veltro://@HOST@/app/index.html" />
    <preference name="scheme" value="app" />
    <preference name="HarborWebViewEngine" value="VLWKWebViewEngine" />
    <preference name="DefaultHostname" value="@HOST@" />
    <preference name="DefaultApplicationURL" value="app" />
    <preference name="SplashScreenDelay" value="0" />
    <feature name="CacheSeed">
        <param name="ios-package" value="E2ECacheSeed" />
        <param name="onload" value="true" />
    </feature>
    <feature name="ProtocolManager">
        <param name="ios-package" value="VLProtocolManagerPlugin" />
        <param name="onload" value="true" />
    </feature>
    <feature name="HarborLoader">
        <param name="ios-package" value="VLHarborLoader" />
        <param name="onload" value="true" />
    </feature>
    <feature name="IntentAndNavigationFilter">
        <param name="ios-package" value="HBRIntentAndNavigationFilter" />
        <param name="onload" value="true" />
    </feature>
    <feature name="Report">
        <param name="ios-package" value="E2EReport" />
    </feature>
    <allow-navigation href="veltro://*/*" />
</widget>
)";

// Checks a page's report: every file fetched, every byte there; answers its milliseconds.
double checked(const platform::Value& found, size_t expectedBytes, const std::string& who, const std::string& log) {
  if (!found.is_object() || !found["ms"].is_number())
    bench::fail(who + " did not report: " + found.dump() + "\n" + readText(log));
  if (found.value("failed", -1) != 0 || found.value("bytes", size_t{0}) != expectedBytes)
    bench::fail(who + " did not fetch every file: " + found.dump());
  return found["ms"].get<double>();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: scheme_webview_bench BARE SHELL PACKAGE BENCH_JS HARBOR_JS [rounds]\n");
    return 2;
  }
  std::string bare = argv[1], shell = argv[2], packageSource = argv[3], benchJs = argv[4], harborJs = argv[5];
  int rounds = argc > 6 ? std::max(1, std::atoi(argv[6])) : 7;
  // Fewer than five rounds only check that the benchmark runs; their figure is no median to quote.
  if (rounds < 5) std::printf("%d rounds: a quick check, not a figure to quote\n", rounds);

  bench::Scratch scratch;
  const std::string work = scratch.folder();
  const std::string root = scratch.root();
  auto contents = bench::writeRandomFiles(root, "/app/f%04d.bin", kFiles);
  size_t totalBytes = 0;
  for (const auto& content : contents) totalBytes += content.size();

  // The pages ask for each file by its listed URL, content hash included, as the manifest
  // names it; the bare program's handler ignores the query.
  platform::Value resources = platform::Value::array();
  platform::Value files = platform::Value::array();
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/app/f%04d.bin", i);
    resources.push_back(std::string(name) + "?" + VLFileChecksum::contentHashOfData(contents[i]));
    files.push_back(resources.back());
  }
  write(root + "/app/files.js", "window.benchFiles = " + files.dump() + ";\n");
  write(root + "/app/bench.js", readText(benchJs));
  write(root + "/app/harbor.js", readText(harborJs));
  write(root + "/app/index.html",
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>scheme</title></head><body>"
        "<script src=\"harbor.js\"></script><script src=\"files.js\"></script><script src=\"bench.js\"></script>"
        "</body></html>\n");
  // The bare program loads bench://localhost/index.html.
  write(root + "/index.html",
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>scheme</title></head><body>"
        "<script src=\"/app/files.js\"></script><script src=\"/app/bench.js\"></script></body></html>\n");

  int port = bench::freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  platform::Value maps = platform::Value::object();
  for (const char* page : {"index.html", "harbor.js", "files.js", "bench.js"}) {
    std::string path = std::string("/app/") + page;
    resources.push_back(path + "?" + VLFileChecksum::contentHashOfData(readText(root + path)));
    maps[path] = resources.back();
  }
  platform::Value plan = {{"hostname", host}, {"application", "app"}, {"version", "v1"},
                          {"resources", resources}, {"urlMaps", maps}};
  write(work + "/plan.json", plan.dump());

  const std::string package = work + "/package";
  stdfs::copy(packageSource, package, stdfs::copy_options::recursive);
  std::string config = kConfig;
  for (size_t at; (at = config.find("@HOST@")) != std::string::npos;) config.replace(at, 6, host);
  write(package + "/config.xml", config);

  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("VELTRO_EXTRA_CA_FILE", testing_support::TestCertificateAuthority::shared().caCertificateFile().c_str(), 1);
  setenv("VELTRO_E2E_CACHE_PLAN", (work + "/plan.json").c_str(), 1);
  setenv("VELTRO_E2E_REPORT", (work + "/shell.json").c_str(), 1);
  const std::string shellLog = work + "/shell.log", bareOut = work + "/bare.json", bareLog = work + "/bare.log";
  const std::string runShell =
      "timeout 300 '" + shell + "' --data-root '" + work + "/shell-data' '" + package + "' >'" + shellLog + "' 2>&1";
  const std::string runBare = "'" + bare + "' --www '" + root + "' >'" + bareOut + "' 2>'" + bareLog + "'";

  auto shellRound = [&] {
    stdfs::remove(work + "/shell.json");
    if (std::system(runShell.c_str()) != 0) bench::fail("the shell failed:\n" + readText(shellLog));
    return checked(platform::Value::parse(readText(work + "/shell.json"), nullptr, false), totalBytes, "the shell",
                   shellLog);
  };
  auto bareRound = [&] {
    if (std::system(runBare.c_str()) != 0) bench::fail("the bare program failed:\n" + readText(bareLog));
    return checked(platform::Value::parse(readText(bareOut), nullptr, false)["report"], totalBytes,
                   "the bare program", bareLog);
  };

  bool filled = false;
  {
    // Untimed: the shell fills its cache, and its page waits until the cache runs v1. Nothing
    // in this scope exits, so nginx is stopped even when the fill fails.
    bench::Nginx nginx(work, root, port);
    stdfs::remove(work + "/shell.json");
    filled = std::system(runShell.c_str()) == 0;
  }
  if (!filled) bench::fail("the shell failed to fill its cache:\n" + readText(shellLog));
  checked(platform::Value::parse(readText(work + "/shell.json"), nullptr, false), totalBytes, "the shell", shellLog);

  if (rounds >= 5) {
    // Warm-up: the page cache, WebKit's start. A quick check has no figure to protect.
    shellRound();
    bareRound();
  }
  std::vector<double> shellTimes, bareTimes, ratios;
  for (int round = 1; round <= rounds; ++round) {
    if (round % 2 == 0) {
      shellTimes.push_back(shellRound());
      bareTimes.push_back(bareRound());
    } else {
      bareTimes.push_back(bareRound());
      shellTimes.push_back(shellRound());
    }
    ratios.push_back(shellTimes.back() / bareTimes.back());
  }
  auto served = bench::spreadOf(shellTimes);
  auto disk = bench::spreadOf(bareTimes);
  auto ratio = bench::spreadOf(ratios);
  std::printf("%d files, %zu bytes, fetched 8 at a time, %d alternating rounds (median [min - max])\n", kFiles,
              totalBytes, rounds);
  std::printf("shell, \"veltro\" from the cache:       %8.1f ms [%.1f - %.1f]\n", served.median, served.low,
              served.high);
  std::printf("bare WebKitGTK, handler reading disk: %8.1f ms [%.1f - %.1f]\n", disk.median, disk.low, disk.high);
  std::printf("ratio (shell / bare): %.2f, per round [%.2f - %.2f] (target <= 1.15)\n", served.median / disk.median,
              ratio.low, ratio.high);
  return served.median / disk.median <= 1.15 ? 0 : 1;
}
