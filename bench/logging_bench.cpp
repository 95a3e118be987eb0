// The logger's costs against the plainest way to do the same job, in one run:
//
//   LogInfo/Pipeline      one logInfo through the whole pipeline (engine, filter, console to
//                         /dev/null, a buffered remote output with its log store), timed on
//                         the calling thread only, in bursts of 64 logs;
//   LogInfo/Fprintf...    fprintf of the same console line to /dev/null, same bursts: on
//                         standard error (unbuffered, as the console writes) and on a
//                         buffered stream;
//   LogInfo/ServerDown    one logInfo timed alone on the calling thread while the platform
//                         server's output sends to a loopback port that refuses connections
//                         (its back-off and ping loop run 1000 times faster than real, so it
//                         fails, backs off and pings all through the run); counters p50 and
//                         p99 in microseconds;
//   LogInfo/OneCall       the same single-call timing with the holding output of
//                         LogInfo/Pipeline: the baseline of LogInfo/ServerDown;
//   Store/RRVLogStore     the log store's addLogs with chunks of 10 and 100 legacy records;
//   Store/SQLiteCAPI      the same records inserted with the SQLite C API (same schema and
//                         settings, one transaction per chunk).
//
// Run with the release preset, alternating the runs:
//   build/release/bench/logging_bench --benchmark_repetitions=7
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Paths.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "platform/logging/RRVLogStore.h"
#include "shell/VLLogger.h"
#include "shell/VLRoruvLogger.h"
#include "shell/VLRoruvServerOutput.h"

namespace {

constexpr int kBurst = 64;
const std::string kMessage = "Cache frame 42 is complete: 118 resources, 3.2 MB";
const std::string kModule = "VLCache";

// The remote output: buffers and stores like every buffered output, and never sends (its
// flush interval is an hour), so the benchmark sees what a log costs before the network.
class HoldingOutput : public roruv::RRVBufferedOutput {
 public:
  void drop() {
    auto logs = withBuffer([](auto& buffer) {
      roruv::RRVLogs taken(buffer.begin(), buffer.end());
      buffer.clear();
      return taken;
    });
    logStore()->removeLogs(logs, storageKey());
  }

 protected:
  void writeChunk(const std::shared_ptr<roruv::RRVChunk>&, Completion completion) override {
    completion(true);
  }
};

std::string scratchFolder() {
  auto folder =
      std::filesystem::temp_directory_path() / ("veltro-logging-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  return folder.string();
}

// Standard error (the process log) goes to /dev/null while alive.
struct QuietConsole {
  QuietConsole() : saved(dup(2)) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
  }
  ~QuietConsole() {
    dup2(saved, 2);
    close(saved);
  }
  int saved;
};

struct Pipeline {
  Pipeline() {
    platform::paths::setDataRoot(scratchFolder() + "/data");
    roruv::RRVOutputClassRegistry::shared().registerClass(
        VLRoruvLogger::kServerOutputClass, [] { return std::make_shared<HoldingOutput>(); });
    auto info = std::make_shared<VLApplicationInfo>(platform::Value{{"nativeshellversion", "1.0"}});
    engine = std::make_shared<VLRoruvLogger>("bench.example", "app", std::nullopt, std::nullopt,
                                             std::nullopt, "bench", info,
                                             VLDeviceInfo::initWithCommandDelegate(nullptr, info));
    logger = std::make_shared<VLLogger>(engine);
    for (const auto& output : engine->roruvLogger()->outputs())
      if (auto holding = std::dynamic_pointer_cast<HoldingOutput>(output)) remote = holding;
  }
  std::shared_ptr<VLRoruvLogger> engine;
  std::shared_ptr<VLLogger> logger;
  std::shared_ptr<HoldingOutput> remote;
};

void LogInfo_Pipeline(benchmark::State& state) {
  QuietConsole quiet;
  static Pipeline pipeline;
  if (!pipeline.remote) {
    state.SkipWithError("no remote output");
    return;
  }
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; ++i) pipeline.logger->logInfo(kMessage, kModule);
    auto elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    // Between bursts the pipeline catches up and the held logs go, outside the timing.
    pipeline.engine->roruvLogger()->waitUntilIdle(60);
    pipeline.remote->drop();
  }
  state.counters["per_log"] = benchmark::Counter(
      kBurst, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The console's own way: standard error, unbuffered, to /dev/null.
void LogInfo_FprintfStderr(benchmark::State& state) {
  QuietConsole quiet;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; ++i) std::fprintf(stderr, "%s\n", kMessage.c_str());
    auto elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
  }
  state.counters["per_log"] = benchmark::Counter(
      kBurst, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A buffered stream to /dev/null: the cheapest fprintf there is.
void LogInfo_FprintfBuffered(benchmark::State& state) {
  FILE* null = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurst; ++i) std::fprintf(null, "%s\n", kMessage.c_str());
    auto elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
  }
  std::fclose(null);
  state.counters["per_log"] = benchmark::Counter(
      kBurst, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Main-loop timers at a thousandth of their delay: the server output's whole retry scheme
// runs many times over during a benchmark.
class FastScheduler final : public roruv::RRVScheduler {
 public:
  std::shared_ptr<Timer> schedule(double seconds, std::function<void()> fire) override {
    return roruv::RRVScheduler::mainLoop()->schedule(seconds / 1000, std::move(fire));
  }
};

// A loopback port with nothing listening: bound, then closed, so connections are refused.
int refusingPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// The engine with the real platform-server output aimed at a port that refuses, and a main
// loop of its own on another thread for the output's timers.
struct ServerDownPipeline {
  ServerDownPipeline() {
    platform::paths::setDataRoot(scratchFolder() + "/data");
    loop = std::thread([this] {
      platform::MainLoop::adoptCurrentThreadAsMain();
      while (!stopping) platform::MainLoop::runFor(0.05);
    });
    roruv::RRVOutputClassRegistry::shared().registerClass(
        "BenchServerOutput", [] { return std::make_shared<VLRoruvServerOutput>(); });
    auto info = std::make_shared<VLApplicationInfo>(platform::Value{{"nativeshellversion", "1.0"}});
    auto device = VLDeviceInfo::initWithCommandDelegate(nullptr, info);
    const std::string host = "127.0.0.1:" + std::to_string(refusingPort());
    auto configuration = *VLRoruvLogger::defaultConfiguration(
        host, "app", std::nullopt, std::nullopt, std::nullopt, "bench", info, device);
    configuration.outputSettings.at(1).outputClass = "BenchServerOutput";
    auto pipeline = roruv::RRVLogger::initWithConfiguration(std::move(configuration));
    for (const auto& output : pipeline->outputs())
      if (auto server = std::dynamic_pointer_cast<VLRoruvServerOutput>(output)) {
        server->setScheduler(std::make_shared<FastScheduler>());
        remote = server;
      }
    engine = std::make_shared<VLRoruvLogger>(host, "app", std::nullopt, std::nullopt,
                                             std::nullopt, "bench", info, device, pipeline);
    logger = std::make_shared<VLLogger>(engine);
  }
  ~ServerDownPipeline() {
    stopping = true;
    loop.join();
  }
  std::atomic<bool> stopping{false};
  std::thread loop;
  std::shared_ptr<VLRoruvLogger> engine;
  std::shared_ptr<VLLogger> logger;
  std::shared_ptr<VLRoruvServerOutput> remote;
};

// Times single logInfo calls and reports their median and 99th percentile in microseconds.
template <typename Logger>
void timeSingleCalls(benchmark::State& state, Logger& logger, const std::function<void()>& between) {
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(state.max_iterations));
  int sinceBreak = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    logger.logInfo(kMessage, kModule);
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    micros.push_back(elapsed * 1e6);
    if (++sinceBreak == kBurst) {
      sinceBreak = 0;
      state.PauseTiming();
      between();
      state.ResumeTiming();
    }
  }
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

void LogInfo_ServerDown(benchmark::State& state) {
  QuietConsole quiet;
  static ServerDownPipeline pipeline;
  if (!pipeline.remote) {
    state.SkipWithError("no server output");
    return;
  }
  // Bursts as in LogInfo/Pipeline; the output keeps at most 1000 waiting logs itself.
  timeSingleCalls(state, *pipeline.logger,
                  [] { pipeline.engine->roruvLogger()->waitUntilIdle(60); });
  state.counters["failures_now"] = static_cast<double>(pipeline.remote->retryCount());
}

void LogInfo_OneCall(benchmark::State& state) {
  QuietConsole quiet;
  static Pipeline pipeline;
  if (!pipeline.remote) {
    state.SkipWithError("no remote output");
    return;
  }
  timeSingleCalls(state, *pipeline.logger, [] {
    pipeline.engine->roruvLogger()->waitUntilIdle(60);
    pipeline.remote->drop();
  });
}

roruv::RRVLogs legacyRecords(size_t count) {
  roruv::RRVLogs logs;
  for (size_t i = 0; i < count; ++i)
    logs.push_back(std::make_shared<roruv::RRVLog>(
        "vllogger.server.1", std::chrono::system_clock::now(),
        platform::Value{{"instant", "2024-05-01T10:20:30.123Z"},
                        {"logType", "general"},
                        {"message", kMessage + " #" + std::to_string(i)},
                        {"moduleName", kModule},
                        {"stack", ""},
                        {"extra", {{"screen", "home"}, {"attempt", 3}}}}));
  return logs;
}

std::string freshDatabase(const char* name) {
  std::string path = scratchFolder() + "/" + name + ".sqlite";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  return path;
}

void Store_RRVLogStore(benchmark::State& state) {
  auto chunk = legacyRecords(static_cast<size_t>(state.range(0)));
  auto store = std::make_shared<roruv::RRVLogStore>(freshDatabase("store"));
  for (auto _ : state)
    benchmark::DoNotOptimize(store->addLogs(chunk, "VLRoruvServerOutput vllogger.server.1"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Store_SQLiteCAPI(benchmark::State& state) {
  auto chunk = legacyRecords(static_cast<size_t>(state.range(0)));
  sqlite3* db = nullptr;
  sqlite3_open(freshDatabase("capi").c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, output TEXT NOT NULL,"
               " tag TEXT NOT NULL, date_ms INTEGER NOT NULL, user_info TEXT NOT NULL);"
               "CREATE INDEX logs_by_output ON logs(output, id);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO logs(output, tag, date_ms, user_info) VALUES(?, ?, ?, ?)", -1,
                     &insert, nullptr);
  const std::string output = "VLRoruvServerOutput vllogger.server.1";
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (const auto& log : chunk) {
      std::string record = log->userInfo().dump();
      sqlite3_bind_text(insert, 1, output.data(), static_cast<int>(output.size()), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, log->tag().data(), static_cast<int>(log->tag().size()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(
          insert, 3,
          std::chrono::duration_cast<std::chrono::milliseconds>(log->date().time_since_epoch())
              .count());
      sqlite3_bind_text(insert, 4, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(LogInfo_Pipeline)->UseManualTime()->Iterations(2000);
BENCHMARK(LogInfo_ServerDown)->UseManualTime()->Iterations(64 * 2000);
BENCHMARK(LogInfo_OneCall)->UseManualTime()->Iterations(64 * 2000);
BENCHMARK(LogInfo_FprintfStderr)->UseManualTime()->Iterations(2000);
BENCHMARK(LogInfo_FprintfBuffered)->UseManualTime()->Iterations(2000);
BENCHMARK(Store_RRVLogStore)->Arg(10)->Arg(100);
BENCHMARK(Store_SQLiteCAPI)->Arg(10)->Arg(100);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code error;
  std::filesystem::remove_all(scratchFolder(), error);
  return 0;
}
