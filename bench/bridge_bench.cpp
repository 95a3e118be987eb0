// The bridge's cost per command against the JSON work it cannot avoid: N commands are decoded,
// queued, run on an echo plugin and turned into callback texts, compared with parsing the same
// commands and serialising each answer alone. Prints the ratio (target: at most 1.5), for the
// commands sent as one batch and as the several batches the page's queue hands over.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/HBRCommandQueue.h"
#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/HeadlessWebView.h"

using platform::Value;

namespace {

constexpr int kCommands = 2000;

class EchoPlugin : public HBRPlugin {
 public:
  EchoPlugin() { registerAction("echo", &EchoPlugin::echo); }
  std::string className() const override { return "EchoPlugin"; }
  void echo(const HBRInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(
        HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.argumentAtIndex(0)), command.callbackId());
  }
};

// Stands in for a web view showing the application's own page: it takes the callback texts
// and counts the answers in them instead of running them. The bridge hands over many answers in
// one evaluation, so answers are counted by their callback ids ("Echo<n>", each once), not by
// evaluations.
class CountingEngine : public HBRWebViewEngineProtocol {
 public:
  void loadRequest(const platform::URLRequest&) override {}
  void loadHTMLString(const std::string&, const std::optional<platform::URL>&) override {}
  void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion) override {
    static const std::string marker = "[\"Echo";
    for (size_t at = script.find(marker); at != std::string::npos; at = script.find(marker, at + 1)) {
      size_t index = std::strtoul(script.c_str() + at + marker.size(), nullptr, 10);
      if (index < answeredIds.size() && !answeredIds[index]) {
        answeredIds[index] = true;
        ++answered;
      }
    }
  }
  void evaluateJavaScript(const std::string& script, platform::webkit::JavaScriptCompletion completion,
                          const std::string&) override {
    evaluateJavaScript(script, std::move(completion));
  }
  void evaluateAnswers(const std::string& script, platform::webkit::JavaScriptCompletion completion) override {
    evaluateJavaScript(script, std::move(completion));
  }
  std::optional<platform::URL> URL() const override { return std::nullopt; }
  bool canLoadRequest(const platform::URLRequest&) const override { return true; }
  void updateWithInfo(const HBRWebViewEngineInfo&) override {}
  std::shared_ptr<platform::webkit::WebView> engineWebView() const override { return nullptr; }
  // The page shown is the application's own: the bridge answers only that one, and names its
  // document in every answer.
  bool isApplicationPage() const override { return true; }
  std::optional<std::string> applicationDocument() const override { return std::string("bench-document"); }
  // Starts a round of kCommands calls: each callback id counts once per round.
  void startRound() {
    answeredIds.assign(kCommands, false);
    answered = 0;
  }
  size_t answered = 0;
  std::vector<bool> answeredIds;
};

constexpr int kBatches = 20;  // the JavaScript side hands over what it queued, batch by batch

Value makeCommands() {
  Value batch = Value::array();
  for (int i = 0; i < kCommands; ++i) {
    Value payload = {{"id", i}, {"name", "item " + std::to_string(i)}, {"tags", {"a", "b", "c"}}, {"ok", true}};
    batch.push_back(Value::array({"Echo" + std::to_string(i), "Echo", "echo", Value::array({payload})}));
  }
  return batch;
}

const std::string& batchText() {
  static const std::string text = makeCommands().dump();
  return text;
}

const std::vector<std::string>& batchTexts() {
  static const std::vector<std::string> texts = [] {
    Value all = makeCommands();
    std::vector<std::string> out;
    size_t per = all.size() / kBatches;
    for (size_t start = 0; start < all.size(); start += per) {
      Value part = Value::array();
      for (size_t i = start; i < std::min(all.size(), start + per); ++i) part.push_back(all[i]);
      out.push_back(part.dump());
    }
    return out;
  }();
  return texts;
}

void JSONAlone(benchmark::State& state) {
  size_t total = 0;
  for (auto _ : state) {
    Value batch = Value::parse(batchText());
    for (const auto& command : batch) {
      std::string message = Value::array({command[3][0]}).dump();
      std::string text = "__harborNativeCallback([\"" + command[0].get<std::string>() + "\",1," +
                         message.substr(1, message.size() - 2) + ",0,0])";
      total += text.size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kCommands);
}

// Runs the batches through a host over the counting engine; `texts` hold kCommands in all.
void runBridge(benchmark::State& state, const std::vector<std::string>& texts) {
  platform::setLogSink([](const std::string&, void*) {}, nullptr);
  HBRRegisterPluginClass<EchoPlugin>("EchoPlugin");
  auto vc = HBRViewController::create();
  vc->mutableSettings() = Value::object();
  auto engine = std::make_shared<CountingEngine>();
  vc->setWebViewEngine(engine);
  // The feature map normally comes from "config.xml".
  vc->registerPluginWithPluginName(std::make_shared<EchoPlugin>(), "Echo");
  auto queue = vc->commandQueue();
  for (auto _ : state) {
    engine->startRound();
    for (const auto& text : texts) {
      queue->enqueueCommandBatch(text);
      queue->executePending();
    }
    // A round takes a fraction of a second; one whose answers never all arrive is a broken
    // bridge or stand-in, and is reported as such rather than timed.
    if (!platform::MainLoop::runUntil([&] { return engine->answered >= kCommands; }, 10)) {
      state.SkipWithError(("only " + std::to_string(engine->answered) + " of " + std::to_string(kCommands) +
                           " calls were answered within 10 s").c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCommands);
  platform::setLogSink(nullptr, nullptr);
}

void Bridge(benchmark::State& state) { runBridge(state, {batchText()}); }
void BridgeInBatches(benchmark::State& state) { runBridge(state, batchTexts()); }

BENCHMARK(JSONAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(Bridge)->Unit(benchmark::kMillisecond);
BENCHMARK(BridgeInBatches)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: the figures are read from a pipe as well.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    // A run that failed has no time worth comparing: its figure is left out.
    for (const auto& run : runs)
      if (run.error_occurred)
        failed.insert(run.benchmark_name());
      else
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::set<std::string> failed;
};

}  // namespace

int main(int argc, char** argv) {
  // The allocator as the shell sets it up: both sides run in this process with it.
  platform::MainLoop::setUpAllocator();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  int status = 0;
  for (const char* name : {"Bridge", "BridgeInBatches"}) {
    if (!reporter.times.count("JSONAlone") || !reporter.times.count(name)) {
      if (reporter.failed.count(name) || reporter.failed.count("JSONAlone")) {
        std::printf("%s / JSON alone: no figure, a run failed FAILED\n", name);
        status = 1;
      }
      continue;
    }
    double ratio = reporter.times[name] / reporter.times["JSONAlone"];
    std::printf("%s / JSON alone: %.2f (target: at most 1.5) %s\n", name, ratio, ratio <= 1.5 ? "PASS" : "OVER");
  }
  return status;
}
