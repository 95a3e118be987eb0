// The real shell under Xvfb: how much its resident memory rises while its page fetches one
// large file (48 MiB) 16 times at once, each body read as it arrives and not kept, through
// "veltro" from the application cache, against the same fetches of the same file through the
// application scheme ("app://", which serves packaged files from their descriptors) in the
// same run. Each round starts the shell afresh; the page takes the resident memory after a
// second of quiet, starts the peak (VmHWM) again from it, fetches, and reports the peak. The
// rounds alternate the two schemes; the medians with their spread are printed (target: a rise
// of at most 64 MiB under "veltro", and "app://" no worse than before). The cache is filled once,
// untimed, from a local nginx over HTTPS, which is stopped before the rounds.
//
//   scheme_memory_bench SHELL PACKAGE STREAM_DIR HARBOR_JS [rounds] [MiB] [fetches]
//
// PACKAGE is the end-to-end "veltro" package (its Info.plist); SHELL is the shell with the seed
// plugin that fills the cache; STREAM_DIR holds the page (tests/e2e/streaming).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "appcache/VLFileChecksum.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"
#include "support/TestCertificateAuthority.h"

namespace {

namespace stdfs = std::filesystem;

std::string readText(const std::string& path) { return platform::fs::readFile(path).value_or(""); }

void write(const std::string& path, const std::string& text) {
  stdfs::create_directories(stdfs::path(path).parent_path());
  if (platform::fs::writeFileAtomically(path, text)) bench::fail("cannot write " + path);
}

std::string config(const std::string& content, const std::string& host, bool veltro) {
  std::string text = "<?xml version='1.0' encoding='utf-8'?>\n"
                     "<widget id=\"com.veltro.bench.memory\" version=\"1.0.0\" xmlns=\"http://www.w3.org/ns/widgets\">\n"
                     "<content src=\"" + content + "\" />\n<preference name=\"scheme\" value=\"app\" />\n"
                     "<preference name=\"SplashScreenDelay\" value=\"0\" />\n";
  if (veltro)
    text += "<preference name=\"HarborWebViewEngine\" value=\"VLWKWebViewEngine\" />\n"
            "<preference name=\"DefaultHostname\" value=\"" + host + "\" />\n"
            "<preference name=\"DefaultApplicationURL\" value=\"app\" />\n"
            "<feature name=\"CacheSeed\"><param name=\"ios-package\" value=\"E2ECacheSeed\" />"
            "<param name=\"onload\" value=\"true\" /></feature>\n"
            "<feature name=\"ProtocolManager\"><param name=\"ios-package\" value=\"VLProtocolManagerPlugin\" />"
            "<param name=\"onload\" value=\"true\" /></feature>\n"
            "<feature name=\"HarborLoader\"><param name=\"ios-package\" value=\"VLHarborLoader\" />"
            "<param name=\"onload\" value=\"true\" /></feature>\n"
            "<feature name=\"IntentAndNavigationFilter\"><param name=\"ios-package\" value=\"HBRIntentAndNavigationFilter\" />"
            "<param name=\"onload\" value=\"true\" /></feature>\n<allow-navigation href=\"veltro://*/*\" />\n";
  return text + "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\" /></feature>\n</widget>\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: scheme_memory_bench SHELL PACKAGE STREAM_DIR HARBOR_JS [rounds] [MiB] [fetches]\n");
    return 2;
  }
  std::string shell = argv[1], packageSource = argv[2], streamDir = argv[3], harborJs = argv[4];
  int rounds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
  size_t mebibytes = argc > 6 ? static_cast<size_t>(std::max(1, std::atoi(argv[6]))) : 48;
  int fetches = argc > 7 ? std::max(1, std::atoi(argv[7])) : 16;
  if (rounds < 5) std::printf("%d rounds: a quick check, not a figure to quote\n", rounds);

  bench::Scratch scratch;
  const std::string work = scratch.folder();
  const std::string root = scratch.root();
  std::string big(mebibytes * 1024 * 1024, '\0');
  std::mt19937_64 random(7);
  for (size_t i = 0; i + 8 <= big.size(); i += 8) {
    auto value = random();
    std::memcpy(&big[i], &value, 8);
  }
  const std::string page = readText(streamDir + "/stream.html"), script = readText(streamDir + "/stream.js"),
                    harbor = readText(harborJs);
  // The files under both schemes: the application's server (for the cache) and the package.
  int port = bench::freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  platform::Value resources = platform::Value::array(), maps = platform::Value::object();
  const std::string appPackage = work + "/app-package", veltroPackage = work + "/veltro-package";
  for (const auto& [name, content] : std::vector<std::pair<std::string, const std::string*>>{
           {"stream.html", &page}, {"stream.js", &script}, {"harbor.js", &harbor}, {"big.bin", &big}}) {
    write(root + "/app/" + name, *content);
    write(appPackage + "/www/" + name, *content);
    resources.push_back("/app/" + name + "?" + VLFileChecksum::contentHashOfData(*content));
    maps["/app/" + name] = resources.back();
  }
  platform::Value plan = {{"hostname", host}, {"application", "app"}, {"version", "v1"},
                          {"resources", resources}, {"urlMaps", maps}};
  write(work + "/plan.json", plan.dump());
  stdfs::create_directories(veltroPackage + "/www");
  for (const auto& package : {appPackage, veltroPackage})
    stdfs::copy_file(packageSource + "/Info.plist", package + "/Info.plist", stdfs::copy_options::overwrite_existing);
  write(appPackage + "/config.xml", config("stream.html", host, false));
  write(veltroPackage + "/config.xml", config("veltro://" + host + "/app/stream.html", host, true));

  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("VELTRO_EXTRA_CA_FILE", testing_support::TestCertificateAuthority::shared().caCertificateFile().c_str(), 1);
  setenv("VELTRO_E2E_CACHE_PLAN", (work + "/plan.json").c_str(), 1);
  setenv("VELTRO_E2E_REPORT", (work + "/report.json").c_str(), 1);
  setenv("VELTRO_E2E_FETCHES", std::to_string(fetches).c_str(), 1);
  const std::string log = work + "/shell.log";
  auto runShell = [&](const std::string& package, const std::string& data, const char* phase) {
    setenv("VELTRO_E2E_PHASE", phase, 1);
    stdfs::remove(work + "/report.json");
    const std::string command = "timeout 300 '" + shell + "' --data-root '" + work + "/" + data + "' '" + package +
                                "' >'" + log + "' 2>&1";
    if (std::system(command.c_str()) != 0) bench::fail("the shell failed:\n" + readText(log));
    auto found = platform::Value::parse(readText(work + "/report.json"), nullptr, false);
    if (!found.is_object() || found.contains("error")) bench::fail("the page failed: " + found.dump() + "\n" + readText(log));
    return found;
  };
  auto round = [&](bool veltro) {
    auto found = runShell(veltro ? veltroPackage : appPackage, veltro ? "veltro-data" : "app-data", "measure");
    for (const auto& fetched : found["fetched"])
      if (fetched != platform::Value(big.size())) bench::fail("a fetch did not get the whole file: " + found.dump());
    return (found["memory"]["peakKiB"].get<double>() - found["memory"]["beforeKiB"].get<double>()) / 1024;
  };
  {
    bench::Nginx nginx(work, root, port);
    auto filled = runShell(veltroPackage, "veltro-data", "fill");
    if (filled["runningVersion"] != "v1") bench::fail("the cache was not filled: " + filled.dump());
  }
  std::vector<double> veltro, app;
  for (int i = 1; i <= rounds; ++i) {
    if (i % 2 == 0) {
      veltro.push_back(round(true));
      app.push_back(round(false));
    } else {
      app.push_back(round(false));
      veltro.push_back(round(true));
    }
  }
  auto v = bench::spreadOf(veltro), a = bench::spreadOf(app);
  std::printf("%d fetches of %zu MiB at once, %d alternating rounds; the shell's resident memory rise, MiB "
              "(median [min - max])\n", fetches, mebibytes, rounds);
  std::printf("veltro (cache): %7.1f [%.1f - %.1f] (target <= 64)\n", v.median, v.low, v.high);
  std::printf("app (package):  %7.1f [%.1f - %.1f]\n", a.median, a.low, a.high);
  return v.median <= 64 ? 0 : 1;
}
