// The SQLite plugin against the SQLite C API doing the same work, in-process: the plugin gets
// the command as JSON text and its answer is turned into the callback's JSON text.
//  (a) a batch ["BEGIN", 10,000 inserts, "COMMIT"] against the C API inserting the same rows in
//      one transaction, preparing each statement (target: at most 1.2), and against one reused
//      statement. A batch compiles each distinct statement text once, so the plugin's fair
//      match is the reused statement; both ratios are printed;
//  (a') the same batch with every insert's text made different by a comment, so that nothing
//      compiled can be reused, against the C API preparing the same texts;
//  (b) a SELECT of 10,000 rows against the C API building the same JSON rows (target: at most 1.5).
// Each round runs every contender once, the order alternating between rounds; prints medians,
// the spread (lowest to highest) and the ratios of the medians, for the wall-clock time and for
// the CPU time of the whole process (all threads: the plugin's work runs on the connection's
// queue), which a busy machine disturbs less. Build with the release preset: sqlite_bench [ROUNDS].

#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Paths.h"
#include "plugins/sqlite/SQLitePlugin.h"

using platform::Value;

namespace {

constexpr int kRows = 10000;
const char* const kInsert = "INSERT INTO t (id, name, score) VALUES (?, ?, ?)";
const char* const kCreate = "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, score REAL)";
const char* const kSelect = "SELECT id, name, score FROM t";

std::string rowName(int i) { return "row number " + std::to_string(i); }

// Hands each answer's callback text back to the waiting caller, as the bridge would send it.
class WaitingDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result, const std::optional<std::string>&) override {
    auto text = result->argumentsAsJSON();
    std::lock_guard lock(mutex_);
    answer_ = text.value_or("");
    ok_ = result->status() == HBRResultStatus::OK;
    done_.notify_all();
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override { block(); }
  Value& settings() override { return settings_; }
  Value settings_ = Value::object();
  URLTransformer urlTransformer() const override { return {}; }
  void setUrlTransformer(URLTransformer) override {}

  // Runs the command text on the plugin and waits for its answer's JSON text.
  std::string run(SQLitePlugin& plugin, const std::string& commandText) {
    {
      std::lock_guard lock(mutex_);
      answer_.reset();
    }
    {
      // As the command queue does: the text is read once, its depth checked, the value moved
      // into the command, and the command goes as soon as its action returns.
      auto json = platform::parseJSONText(commandText);
      if (!json || HBRInvokedUrlCommand::isNestedTooDeep(*json)) std::exit(1);
      auto command = HBRInvokedUrlCommand::commandFromJson(std::move(*json));
      plugin.performAction(*command->methodName(), *command);
    }
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return answer_.has_value(); });
    if (!ok_) std::fprintf(stderr, "plugin failed: %.200s\n", answer_->c_str());
    return *answer_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<std::string> answer_;
  bool ok_ = false;
};

std::string commandText(const char* action, Value args) {
  return Value::array({"SQLitePlugin1", "SQLitePlugin", action, Value::array({std::move(args)})}).dump();
}

// The insert of row `i`: one text for all rows, or a text of its own.
std::string insertText(int i, bool distinct) {
  return distinct ? std::string(kInsert) + " -- " + std::to_string(i) : std::string(kInsert);
}

std::string insertBatchText(bool distinct) {
  Value executes = Value::array();
  executes.push_back({{"sql", "BEGIN"}, {"params", Value::array()}});
  for (int i = 0; i < kRows; ++i)
    executes.push_back({{"sql", insertText(i, distinct)}, {"params", {i + 1, rowName(i), i * 0.5}}});
  executes.push_back({{"sql", "COMMIT"}, {"params", Value::array()}});
  return commandText("backgroundExecuteSqlBatch", {{"dbargs", {{"dbname", "bench.db"}}}, {"executes", executes}});
}

double processCPUSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 0;
  double cpu = 0;
};

Timing seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  double cpuStart = processCPUSeconds();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          processCPUSeconds() - cpuStart};
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void exec(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

void bindRow(sqlite3* db, sqlite3_stmt* statement, int i) {
  std::string name = rowName(i);
  check(sqlite3_bind_int64(statement, 1, i + 1), db, "bind");
  check(sqlite3_bind_text(statement, 2, name.data(), int(name.size()), SQLITE_TRANSIENT), db, "bind");
  check(sqlite3_bind_double(statement, 3, i * 0.5), db, "bind");
}

// The C API inserting the rows in one transaction: each statement prepared anew (from the
// texts of the batch), or one reused.
void insertWithCAPI(sqlite3* db, bool reuse, const std::vector<std::string>& texts) {
  exec(db, "BEGIN");
  sqlite3_stmt* statement = nullptr;
  if (reuse) check(sqlite3_prepare_v2(db, kInsert, -1, &statement, nullptr), db, "prepare");
  for (int i = 0; i < kRows; ++i) {
    if (!reuse) check(sqlite3_prepare_v2(db, texts[i].c_str(), -1, &statement, nullptr), db, "prepare");
    bindRow(db, statement, i);
    check(sqlite3_step(statement), db, "step");
    if (reuse) {
      sqlite3_reset(statement);
    } else {
      sqlite3_finalize(statement);
    }
  }
  if (reuse) sqlite3_finalize(statement);
  exec(db, "COMMIT");
}

// The C API reading the rows into the same JSON objects, written as text.
std::string selectWithCAPI(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  check(sqlite3_prepare_v2(db, kSelect, -1, &statement, nullptr), db, "prepare");
  Value rows = Value::array();
  while (sqlite3_step(statement) == SQLITE_ROW) {
    Value row = Value::object();
    row["id"] = static_cast<std::int64_t>(sqlite3_column_int64(statement, 0));
    row["name"] = std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                              size_t(sqlite3_column_bytes(statement, 1)));
    row["score"] = sqlite3_column_double(statement, 2);
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  Value result = {{"rows", std::move(rows)}, {"rowsAffected", 0}};
  return platform::jsonText(result);
}

sqlite3* openRaw(const std::string& path) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  return db;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Series {
  explicit Series(const char* label) : name(label) {}
  const char* name;
  std::vector<double> wall, cpu;
  void add(Timing timing) {
    wall.push_back(timing.wall);
    cpu.push_back(timing.cpu);
  }
  void print() const {
    auto [low, high] = std::minmax_element(wall.begin(), wall.end());
    auto [cpuLow, cpuHigh] = std::minmax_element(cpu.begin(), cpu.end());
    std::printf("  %-44s wall %7.2f ms (%7.2f - %7.2f)   cpu %7.2f ms (%7.2f - %7.2f)\n", name, median(wall) * 1e3,
                *low * 1e3, *high * 1e3, median(cpu) * 1e3, *cpuLow * 1e3, *cpuHigh * 1e3);
  }
};

// The ratio of the medians, and the spread of the ratios of the rounds (lowest to highest).
void printRatio(const char* what, const Series& a, const Series& b, const char* target) {
  auto spread = [](const std::vector<double>& x, const std::vector<double>& y) {
    std::vector<double> ratios;
    for (size_t i = 0; i < x.size() && i < y.size(); ++i) ratios.push_back(x[i] / y[i]);
    auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    return std::pair{*low, *high};
  };
  auto [low, high] = spread(a.wall, b.wall);
  auto [cpuLow, cpuHigh] = spread(a.cpu, b.cpu);
  std::printf("    ratio %s: wall %.2f (%.2f - %.2f), cpu %.2f (%.2f - %.2f)%s\n", what,
              median(a.wall) / median(b.wall), low, high, median(a.cpu) / median(b.cpu), cpuLow, cpuHigh, target);
}

}  // namespace

int main(int argc, char** argv) {
  // Fifteen rounds by default; fewer make a quick check that the tool still works.
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  char folder[] = "/tmp/veltro-sqlite-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  platform::paths::setDataRoot(folder);
  auto delegate = std::make_shared<WaitingDelegate>();
  auto plugin = std::make_shared<SQLitePlugin>();
  plugin->setCommandDelegate(delegate);
  plugin->pluginInitialize();
  std::string docs = plugin->appDBPaths().at("docs");
  std::string pluginFile = docs + "/bench.db";
  std::string rawFile = docs + "/raw.db";

  const std::string batch = insertBatchText(false);
  const std::string distinctBatch = insertBatchText(true);
  std::vector<std::string> sameTexts, distinctTexts;
  for (int i = 0; i < kRows; ++i) {
    sameTexts.push_back(insertText(i, false));
    distinctTexts.push_back(insertText(i, true));
  }
  const std::string open = commandText("open", {{"name", "bench.db"}});
  const std::string close = commandText("close", {{"dbname", "bench.db"}});
  const std::string settle =
      commandText("executeSql", {{"dbargs", {{"dbname", "bench.db"}}}, {"ex", {{"sql", "SELECT 1"}}}});
  const std::string drop =
      commandText("executeSql", {{"dbargs", {{"dbname", "bench.db"}}}, {"ex", {{"sql", "DROP TABLE IF EXISTS t"}}}});
  const std::string create = commandText("executeSql", {{"dbargs", {{"dbname", "bench.db"}}}, {"ex", {{"sql", kCreate}}}});
  const std::string select = commandText("executeSql", {{"dbargs", {{"dbname", "bench.db"}}}, {"ex", {{"sql", kSelect}}}});

  Series pluginInsert{"plugin batch [BEGIN, 10000 inserts, COMMIT]"};
  Series rawInsert{"C API, each insert prepared"};
  Series rawReused{"C API, one reused statement"};
  Series pluginDistinct{"plugin batch, every insert a text of its own"};
  Series rawDistinct{"C API, each of those texts prepared"};
  Series pluginSelect{"plugin SELECT of 10000 rows"};
  Series rawSelect{"C API SELECT into the same JSON rows"};
  size_t pluginBytes = 0, rawBytes = 0;

  // Both sides keep their database open, as a page does, and start each round from an empty
  // table; the order of the two alternates between rounds.
  delegate->run(*plugin, open);
  sqlite3* raw = openRaw(rawFile);
  for (int round = 0; round < rounds; ++round) {
    std::function<void()> contenders[] = {
        [&] {
          delegate->run(*plugin, drop);
          delegate->run(*plugin, create);
          pluginInsert.add(seconds([&] { delegate->run(*plugin, batch); }));
          // The batch's statements and answer are freed on the connection's queue after the
          // answer has gone; a trivial statement waits for that, as a page's next call would.
          delegate->run(*plugin, settle);
          delegate->run(*plugin, drop);
          delegate->run(*plugin, create);
          pluginDistinct.add(seconds([&] { delegate->run(*plugin, distinctBatch); }));
          delegate->run(*plugin, settle);
          std::string text;
          pluginSelect.add(seconds([&] { text = delegate->run(*plugin, select); }));
          pluginBytes = text.size();
        },
        [&] {
          for (bool reuse : {false, true}) {
            exec(raw, "DROP TABLE IF EXISTS t");
            exec(raw, kCreate);
            (reuse ? rawReused : rawInsert).add(seconds([&] { insertWithCAPI(raw, reuse, sameTexts); }));
            if (!reuse) {
              std::string text;
              rawSelect.add(seconds([&] { text = selectWithCAPI(raw); }));
              rawBytes = text.size();
            }
          }
          exec(raw, "DROP TABLE IF EXISTS t");
          exec(raw, kCreate);
          rawDistinct.add(seconds([&] { insertWithCAPI(raw, false, distinctTexts); }));
        }};
    if (round % 2) std::swap(contenders[0], contenders[1]);
    for (auto& contender : contenders) contender();
  }
  sqlite3_close(raw);
  delegate->run(*plugin, close);

  std::printf("SQLite plugin against the C API, %d rows, %d alternating rounds\n", kRows, rounds);
  std::printf("(a) inserts in one transaction\n");
  for (const auto* series : {&pluginInsert, &rawInsert, &rawReused}) series->print();
  printRatio("against each insert prepared", pluginInsert, rawInsert, " (target at most 1.2)");
  printRatio("against one reused statement", pluginInsert, rawReused, "");
  std::printf("(a') inserts in one transaction, no text twice\n");
  for (const auto* series : {&pluginDistinct, &rawDistinct}) series->print();
  printRatio("", pluginDistinct, rawDistinct, "");
  std::printf("(b) a SELECT into JSON rows (%zu and %zu bytes of JSON)\n", pluginBytes, rawBytes);
  for (const auto* series : {&pluginSelect, &rawSelect}) series->print();
  printRatio("", pluginSelect, rawSelect, " (target at most 1.5)");

  plugin.reset();
  platform::fs::remove(folder);
  return 0;
}
