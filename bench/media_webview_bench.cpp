// Media in the real web view under Xvfb: one clip plays for a number of seconds and seeks
// twice, while the resident memory of the program and of WebKit's web process is taken every
// 250 ms; what each rises by over the quiet page before the clip is the figure (the target is
// at most 128 MiB each for the shell, in each scheme). Three programs play the same clip with
// the same page script (bench/webview/media/media.js), in rounds that alternate their order:
//
//   bare    the bare WebKitGTK program, the clip and the page from file:// (WebKit's own
//           reading of a local file: the baseline)
//   app     the shell, the clip packaged and served under the application scheme
//   veltro  the shell, the page and the clip under "veltro", answered from the application
//           cache (filled once, untimed, from a local nginx over HTTPS that is stopped before
//           the rounds)
//
// Both shell schemes reach the player through the shell's media endpoint. A run whose
// playing does not move forward in some stretch counts as stalled: its memory says nothing
// about playing, and the target is missed.
//
//   media_webview_bench BARE SHELL PAGE_FOLDER HARBOR_JS CLIP [rounds] [seconds]
//
// PAGE_FOLDER is bench/webview (media/ and the channels of bare/ and roundtrip/); SHELL is the
// shell with the test plugins and the cache's seed (veltro-shell-e2e-scheme). Run it through
// bench/media_webview_bench.sh, which makes the clip.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "BenchNginx.h"
#include "appcache/VLFileChecksum.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Value.h"
#include "support/TestCertificateAuthority.h"

namespace {

namespace stdfs = std::filesystem;
constexpr double kTargetMiB = 128;

std::string readText(const std::string& path) { return platform::fs::readFile(path).value_or(""); }

void write(const std::string& path, const std::string& text) {
  stdfs::create_directories(stdfs::path(path).parent_path());
  if (platform::fs::writeFileAtomically(path, text)) bench::fail("cannot write " + path);
}

void copy(const std::string& from, const std::string& to) {
  stdfs::create_directories(stdfs::path(to).parent_path());
  stdfs::copy_file(from, to, stdfs::copy_options::overwrite_existing);
}

// The clip goes everywhere as a hard link: a copy of a clip of a gibibyte in each place
// would cost the disk, not the figure.
void placeClip(const std::string& clip, const std::string& to) {
  stdfs::create_directories(stdfs::path(to).parent_path());
  std::error_code error;
  stdfs::create_hard_link(clip, to, error);
  if (error) {
    std::fprintf(stderr, "note: cannot link the clip into %s (%s); copying it\n", to.c_str(), error.message().c_str());
    stdfs::copy_file(clip, to);
  }
}

// The load averages of the last 1, 5 and 15 minutes.
std::string loadAverage() {
  std::string text = readText("/proc/loadavg");
  size_t end = 0;
  for (int field = 0; field < 3 && end != std::string::npos; ++field) end = text.find(' ', end + (field ? 1 : 0));
  return text.substr(0, end);
}

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

const char* kAppConfig = R"(<?xml version='1.0' encoding='utf-8'?>
<widget id="com.veltro.bench.media" version="1.0.0" xmlns="http://www.w3.org/ns/widgets">
    <content src="index.html" />
    <preference name="scheme" value="app" />
    <preference name="SplashScreenDelay" value="0" />
    <preference name="AllowInlineMediaPlayback" value="true" />
    <feature name="Report">
        <param name="ios-package" value="E2EReport" />
    </feature>
</widget>
)";

const char* kVeltroConfig = R"(<?xml version='1.0' encoding='utf-8'?>
<widget id="com.veltro.bench.media" version="1.0.0" xmlns="http://www.w3.org/ns/widgets">
    <content src="veltro://@HOST@/app/index.html" />
    <preference name="scheme" value="app" />
    <preference name="HarborWebViewEngine" value="VLWKWebViewEngine" />
    <preference name="DefaultHostname" value="@HOST@" />
    <preference name="DefaultApplicationURL" value="app" />
    <preference name="SplashScreenDelay" value="0" />
    <preference name="AllowInlineMediaPlayback" value="true" />
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

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.veltro.bench.media</string>
	<key>CFBundleDisplayName</key>
	<string>Veltro media benchmark</string>
	<key>CFBundleShortVersionString</key>
	<string>1.0.0</string>
	<key>CFBundleVersion</key>
	<string>1</string>
</dict>
</plist>
)";

// Resident memory of one kind of process at one point, in KiB: the program itself (the
// first process measured), WebKit's web processes and its network process (each summed over
// the processes of that kind; under WebKit's sandbox they run below bubblewrap).
struct Point {
  double program = 0, web = 0, network = 0;
};

Point pointOf(const platform::Value& measured) {
  Point point;
  const platform::Value& each = measured["each"];
  if (!each.is_array()) return point;
  for (size_t i = 0; i < each.size(); ++i) {
    std::string name = each[i].value("name", "");
    double kib = each[i].value("residentKiB", 0.0);
    if (i == 0)
      point.program = kib;
    else if (name.rfind("WebKitWebProces", 0) == 0)
      point.web += kib;
    else if (name.rfind("WebKitNetworkPr", 0) == 0)
      point.network += kib;
  }
  return point;
}

// What one run of one program found.
struct Run {
  bool ok = false;
  bool stalled = false;
  std::string problem;
  Point rise;  // MiB: the highest sample (and the point after playing) less the point before
  Point before;
  double played = 0;  // seconds of media the three stretches moved through
  double seekMs = 0;  // the slower of the two seeks
  double duration = 0;
  int samples = 0;
  long decoded = 0, dropped = 0;
};

Run evaluate(const platform::Value& output, double seconds, const std::string& log) {
  Run run;
  if (!output.is_object() || !output["report"].is_object()) {
    run.problem = "no report" + (log.empty() ? std::string() : ": " + log.substr(log.size() > 2000 ? log.size() - 2000 : 0));
    return run;
  }
  const platform::Value& report = output["report"];
  const platform::Value& memory = output["memory"];
  if (report.contains("error")) {
    run.problem = report["error"].dump();
    return run;
  }
  if (!memory.is_object() || !memory.contains("before") || !memory.contains("played")) {
    run.problem = "no memory taken: " + output.dump().substr(0, 500);
    return run;
  }
  Point before = pointOf(memory["before"]);
  Point peak = before;
  for (const auto& [name, measured] : memory.items()) {
    if (name != "played" && name.rfind("sample-", 0) != 0) continue;
    Point point = pointOf(measured);
    peak.program = std::max(peak.program, point.program);
    peak.web = std::max(peak.web, point.web);
    peak.network = std::max(peak.network, point.network);
  }
  run.before = {before.program / 1024, before.web / 1024, before.network / 1024};
  run.rise = {(peak.program - before.program) / 1024, (peak.web - before.web) / 1024,
              (peak.network - before.network) / 1024};
  run.duration = report.value("duration", 0.0);
  run.samples = report.value("samples", 0);
  const double stretches[] = {0.4, 0.3, 0.3};
  const platform::Value& advanced = report["advanced"];
  if (!advanced.is_array() || advanced.size() != 3) {
    run.problem = "it did not play three stretches: " + report.dump();
    return run;
  }
  for (size_t i = 0; i < 3; ++i) {
    double moved = advanced[i].get<double>();
    run.played += moved;
    // A stretch that moved less than a quarter of its playing time did not play.
    if (moved < seconds * stretches[i] / 4) run.stalled = true;
  }
  for (const auto& ms : report["seekMs"]) run.seekMs = std::max(run.seekMs, ms.get<double>());
  if (report["frames"].is_object()) {
    run.decoded = report["frames"].value("decoded", 0L);
    run.dropped = report["frames"].value("dropped", 0L);
  }
  run.ok = true;
  return run;
}

std::string spread(std::vector<double> values, const char* format) {
  if (values.empty()) return "-";
  auto s = bench::spreadOf(std::move(values));
  char text[128];
  std::string f = std::string(format) + " [" + format + ".." + format + "]";
  std::snprintf(text, sizeof text, f.c_str(), s.median, s.low, s.high);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: media_webview_bench BARE SHELL PAGE_FOLDER HARBOR_JS CLIP [rounds] [seconds]\n");
    return 2;
  }
  std::string bare = argv[1], shell = argv[2], pages = argv[3], harborJs = argv[4], clip = argv[5];
  int rounds = argc > 6 ? std::max(1, std::atoi(argv[6])) : 5;
  double seconds = argc > 7 ? std::max(1.0, std::atof(argv[7])) : 10;
  if (rounds < 5) std::printf("%d round(s): a quick check, not a figure to quote\n", rounds);
  std::error_code error;
  auto clipBytes = stdfs::file_size(clip, error);
  if (error) bench::fail("no clip at " + clip);

  bench::Scratch scratch;
  const std::string work = scratch.folder();
  const std::string root = scratch.root();
  const std::string media = pages + "/media";
  auto configJs = [&](const char* scheme) {
    char text[128];
    std::snprintf(text, sizeof text, "window.mediaBench = { seconds: %g, scheme: '%s' };\n", seconds, scheme);
    return std::string(text);
  };

  // The bare program: the page and the clip from file://.
  const std::string bareFolder = work + "/bare";
  copy(media + "/bare.html", bareFolder + "/index.html");
  copy(media + "/media.js", bareFolder + "/media.js");
  copy(pages + "/bare/www/channel.js", bareFolder + "/channel.js");
  write(bareFolder + "/config.js", configJs("file"));
  placeClip(clip, bareFolder + "/clip.webm");

  // The shell under the application scheme: the clip packaged.
  const std::string appPackage = work + "/app";
  write(appPackage + "/config.xml", kAppConfig);
  write(appPackage + "/Info.plist", kInfoPlist);
  copy(media + "/index.html", appPackage + "/www/index.html");
  copy(media + "/media.js", appPackage + "/www/media.js");
  copy(pages + "/roundtrip/www/channel.js", appPackage + "/www/channel.js");
  copy(harborJs, appPackage + "/www/harbor.js");
  write(appPackage + "/www/config.js", configJs("app"));
  placeClip(clip, appPackage + "/www/clip.webm");

  // The shell under "veltro": the server's files, which the cache takes once.
  int port = bench::freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  copy(media + "/index.html", root + "/app/index.html");
  copy(media + "/media.js", root + "/app/media.js");
  copy(pages + "/roundtrip/www/channel.js", root + "/app/channel.js");
  copy(harborJs, root + "/app/harbor.js");
  write(root + "/app/config.js", configJs("veltro"));
  placeClip(clip, root + "/app/clip.webm");
  platform::Value resources = platform::Value::array();
  platform::Value maps = platform::Value::object();
  for (const char* file : {"index.html", "media.js", "channel.js", "harbor.js", "config.js", "clip.webm"}) {
    std::string path = std::string("/app/") + file;
    auto hash = VLFileChecksum::contentHashOfFile(root + path);
    if (!hash) bench::fail("cannot read " + root + path);
    resources.push_back(path + "?" + *hash);
    maps[path] = resources.back();
  }
  platform::Value plan = {{"hostname", host}, {"application", "app"}, {"version", "v1"},
                          {"resources", resources}, {"urlMaps", maps}};
  write(work + "/plan.json", plan.dump());
  const std::string veltroPackage = work + "/veltro";
  std::string config = kVeltroConfig;
  for (size_t at; (at = config.find("@HOST@")) != std::string::npos;) config.replace(at, 6, host);
  write(veltroPackage + "/config.xml", config);
  write(veltroPackage + "/Info.plist", kInfoPlist);
  copy(harborJs, veltroPackage + "/www/harbor.js");

  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("VELTRO_EXTRA_CA_FILE", testing_support::TestCertificateAuthority::shared().caCertificateFile().c_str(), 1);
  setenv("VELTRO_E2E_CACHE_PLAN", (work + "/plan.json").c_str(), 1);
  setenv("VELTRO_E2E_MEMORY", "1", 1);
  const int limit = static_cast<int>(seconds) + 150;

  // Runs one program and answers its output (the report with the memory points) and its log.
  auto runShell = [&](const std::string& scheme, bool fill = false) {
    std::string report = work + "/" + scheme + ".json", log = work + "/" + scheme + ".log";
    stdfs::remove(report);
    std::string command = "VELTRO_E2E_REPORT=" + shellQuoted(report) + (fill ? " VELTRO_E2E_MEDIA_FILL=1" : "") +
                          " timeout " + std::to_string(limit) + " " + shellQuoted(shell) + " --data-root " +
                          shellQuoted(work + "/data-" + scheme) + " " + shellQuoted(scheme == "app" ? appPackage : veltroPackage) +
                          " >" + shellQuoted(log) + " 2>&1";
    int status = std::system(command.c_str());
    return std::make_tuple(status, platform::Value::parse(readText(report), nullptr, false), readText(log));
  };
  auto runBare = [&] {
    std::string out = work + "/bare.json", log = work + "/bare.log";
    std::string command = "timeout " + std::to_string(limit) + " " + shellQuoted(bare) + " --uri " +
                          shellQuoted("file://" + bareFolder + "/index.html") + " >" + shellQuoted(out) + " 2>" + shellQuoted(log);
    int status = std::system(command.c_str());
    return std::make_tuple(status, platform::Value::parse(readText(out), nullptr, false), readText(log));
  };

  std::string fillFailure;
  {
    // Untimed: the shell fills its cache from nginx, which is stopped right after. Nothing in
    // this scope exits, so nginx is stopped even when the fill fails.
    bench::Nginx nginx(work, root, port);
    auto [status, found, log] = runShell("veltro", true);
    if (status != 0 || !found["report"].is_object() || found["report"].value("filled", false) != true)
      fillFailure = found.dump() + "\n" + log;
  }
  if (!fillFailure.empty()) bench::fail("the shell failed to fill its cache:\n" + fillFailure);

  std::printf("clip: %.1f MiB; %d alternating round(s) of the bare program and the shell under each scheme; "
              "%g s of playing and two seeks each\n",
              static_cast<double>(clipBytes) / (1 << 20), rounds, seconds);
  std::printf("machine: load average %s at the start of the rounds\n", loadAverage().c_str());
  std::fflush(stdout);
  const std::vector<std::string> kinds = {"bare", "app", "veltro"};
  std::map<std::string, std::vector<Run>> runs;
  std::vector<std::string> errors;
  for (int round = 1; round <= rounds; ++round) {
    std::vector<std::string> order = kinds;
    if (round % 2 == 0) std::reverse(order.begin(), order.end());
    for (const auto& kind : order) {
      auto [status, found, log] = kind == "bare" ? runBare() : runShell(kind);
      Run run = evaluate(found, seconds, log);
      if (run.ok && status != 0) {
        run.ok = false;
        run.problem = "exit status " + std::to_string(status);
      }
      if (!run.ok) errors.push_back(kind + " in round " + std::to_string(round) + ": " + run.problem);
      runs[kind].push_back(run);
      std::printf("round %d %-6s %s\n", round, kind.c_str(),
                  !run.ok ? ("failed: " + run.problem).c_str()
                          : platform::stringf("program +%.1f MiB, web process +%.1f MiB (before: %.0f, %.0f MiB), "
                                              "played %.1f s%s, slower seek %.0f ms, %d samples",
                                              run.rise.program, run.rise.web, run.before.program, run.before.web,
                                              run.played, run.stalled ? " (STALLED)" : "", run.seekMs, run.samples)
                                .c_str());
      std::fflush(stdout);
    }
  }
  std::printf("machine: load average %s at the end of the rounds\n\n", loadAverage().c_str());

  std::printf("rise of resident memory over the quiet page before the clip, MiB, median [min..max] of %d run(s)\n",
              rounds);
  std::printf("%-34s %-24s %-24s %-22s %-18s %s\n", "", "program", "web process", "network process",
              "media played, s", "slower seek, ms");
  std::vector<std::string> missed, stalled;
  const std::map<std::string, std::string> labels = {{"bare", "bare WebKitGTK, file://"},
                                                     {"app", "shell, app: (package)"},
                                                     {"veltro", "shell, veltro (application cache)"}};
  for (const auto& kind : kinds) {
    std::vector<double> program, web, network, played, seek;
    for (const Run& run : runs[kind]) {
      if (!run.ok) continue;
      program.push_back(run.rise.program);
      web.push_back(run.rise.web);
      network.push_back(run.rise.network);
      played.push_back(run.played);
      seek.push_back(run.seekMs);
      if (run.stalled) stalled.push_back(kind);
    }
    std::printf("%-34s %-24s %-24s %-22s %-18s %s\n", labels.at(kind).c_str(), spread(program, "%.1f").c_str(),
                spread(web, "%.1f").c_str(), spread(network, "%.1f").c_str(), spread(played, "%.1f").c_str(),
                spread(seek, "%.0f").c_str());
    if (kind == "bare" || program.empty()) continue;
    double programMedian = bench::spreadOf(program).median, webMedian = bench::spreadOf(web).median;
    if (programMedian > kTargetMiB) missed.push_back(kind + ": the shell rose by " + platform::stringf("%.0f", programMedian) + " MiB");
    if (webMedian > kTargetMiB) missed.push_back(kind + ": the web process rose by " + platform::stringf("%.0f", webMedian) + " MiB");
  }
  std::sort(stalled.begin(), stalled.end());
  stalled.erase(std::unique(stalled.begin(), stalled.end()), stalled.end());
  for (const auto& kind : stalled) missed.push_back(kind + ": playing stalled in some run");
  std::printf("target: the shell and its web process each rise by at most %.0f MiB under each scheme\n", kTargetMiB);
  if (!errors.empty()) {
    std::printf("errors:");
    for (const auto& each : errors) std::printf(" [%s]", each.c_str());
    std::printf("\n");
  }
  std::printf("RESULT: ");
  if (missed.empty() && errors.empty()) {
    std::printf("all targets met\n");
  } else {
    std::printf("missed:");
    for (const auto& each : missed) std::printf(" [%s]", each.c_str());
    if (!errors.empty()) std::printf(" [%zu failed run(s)]", errors.size());
    std::printf("\n");
  }
  return missed.empty() && errors.empty() ? 0 : 1;
}
