// An update killed with SIGKILL at chosen and at random moments: the next launch serves the old
// version or the new one, whole, and no file is left that the cache does not know.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "CacheTestSupport.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/TLSTrust.h"

extern char** environ;

using cache_test::hashed;
using platform::Value;

namespace {

constexpr int kResources = 20;
// The first few resources are the same in both versions, so the new one takes them over.
constexpr int kShared = 5;

std::string contentOf(const std::string& version, int i) {
  std::string shared = i < kShared ? "shared" : version;
  return shared + " resource " + std::to_string(i) + std::string(200 + i * 37, 'x');
}
std::string pathOf(const std::string& version, int i) {
  return "/app/" + std::string(i < kShared ? "shared" : version) + "/r" + std::to_string(i) + ".js";
}
Value listOf(const std::string& version) {
  Value list = Value::array();
  for (int i = 0; i < kResources; ++i) list.push_back(hashed(pathOf(version, i), contentOf(version, i)));
  return list;
}
// What the web view asks for: the same path in both versions.
Value mappingsOf(const std::string& version) {
  Value maps = Value::object();
  Value list = listOf(version);
  for (int i = 0; i < kResources; ++i) maps["/app/p" + std::to_string(i) + ".js"] = list[i];
  return maps;
}

const char* env(const char* name) { return std::getenv(name); }

}  // namespace

// The child: runs the update to "new" in the data root it is given, and kills itself where it is
// told to ("op:<k>" after the k-th file operation, "manifest:<m>" between the m-th manifest
// hash and its file) unless the parent kills it first.
TEST(CacheCrashChild, RunsAnUpdate) {
  if (!env("VELTRO_CRASH_ROOT")) GTEST_SKIP() << "run by the crash reliability test";
  platform::paths::setDataRoot(env("VELTRO_CRASH_ROOT"));
  platform::net::setAdditionalTrustedCAFile(env("VELTRO_CRASH_CA"));
  platform::UserDefaults::resetForTesting();
  const std::string killAt = env("VELTRO_CRASH_KILL_AT") ? env("VELTRO_CRASH_KILL_AT") : "";
  const std::string host = std::string("127.0.0.1:") + env("VELTRO_CRASH_PORT");
  static std::atomic<int> operations{0}, manifests{0};
  VLCacheLocations::setFileOperationHook([killAt](std::string_view point) {
    int op = ++operations;
    int manifest = point == "manifest-hash" ? ++manifests : 0;
    if (killAt == "op:" + std::to_string(op) || (manifest && killAt == "manifest:" + std::to_string(manifest)))
      ::raise(SIGKILL);
  });
  auto engine = VLNativeCache::make(false, 0, 0);
  auto listener = std::make_shared<cache_test::Listener>();
  engine->setDelegate(listener);
  engine->startCaching(host, "app", "new", listOf("new"), mappingsOf("new"), nullptr, Value{{"windowSize", 4}});
  testing_support::waitUntil([&] { return listener->count("finish") > 0; }, 20);
  std::printf("file operations: %d\n", operations.load());
}

namespace {

class CrashReliabilityTest : public ::testing::Test {
 protected:
  CrashReliabilityTest() {
    for (const std::string version : {"old", "new"})
      for (int i = 0; i < kResources; ++i) {
        std::string content = contentOf(version, i);
        server.on("GET", pathOf(version, i), [content](const auto&, auto& response) {
          response.set_content(content, "text/javascript");
        });
      }
  }

  // A data root where "old" is cached and running.
  void prepareBase() {
    platform::paths::setDataRoot(base.file("data"));
    platform::UserDefaults::resetForTesting();
    auto engine = VLNativeCache::make(true, 0, 0);
    auto listener = std::make_shared<cache_test::Listener>();
    engine->setDelegate(listener);
    engine->startCaching(host(), "app", "old", listOf("old"), mappingsOf("old"), nullptr, nullptr);
    ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") > 0; }, 20));
    ASSERT_EQ(engine->getRunningVersionToken(), "old");
    engine.reset();
    platform::UserDefaults::standard().synchronize();
  }

  // Starts the child in a copy of the base; answers its pid.
  pid_t spawnChild(const std::string& dataRoot, const std::string& killAt) {
    EXPECT_FALSE(platform::fs::copy(base.file("data"), dataRoot));
    std::vector<std::string> variables{"VELTRO_CRASH_ROOT=" + dataRoot, "VELTRO_CRASH_CA=" + server.caFile(),
                                       "VELTRO_CRASH_PORT=" + std::to_string(server.port()),
                                       "VELTRO_CRASH_KILL_AT=" + killAt};
    std::vector<char*> environment;
    for (auto& variable : variables) environment.push_back(variable.data());
    for (char** e = environ; *e; ++e) environment.push_back(*e);
    environment.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=CacheCrashChild.RunsAnUpdate";
    char* argv[] = {self.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environment.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // True when the child died of SIGKILL.
  static bool reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  // The restarted cache serves one version, whole; every file in the application's folder is
  // one its model names.
  void verify(const std::string& dataRoot, const std::string& label) {
    SCOPED_TRACE(label);
    platform::paths::setDataRoot(dataRoot);
    platform::UserDefaults::resetForTesting();
    auto engine = VLNativeCache::make(false, 0, 0);
    const std::string version = engine->getRunningVersionToken();
    ASSERT_TRUE(version == "old" || version == "new") << version;
    ++served[version];
    auto app = engine->applicationCache(VLNativeCache::keyForHostname(host(), "app"));
    ASSERT_TRUE(app);
    std::set<std::string> named;
    for (int i = 0; i < kResources; ++i) {
      auto entry = app->getCacheEntryForURL("/app/p" + std::to_string(i) + ".js");
      ASSERT_TRUE(entry) << i;
      EXPECT_EQ(entry->status(), VLCacheEntryStatusAvailable);
      auto path = VLCacheLocations::getLocalFilePath(*entry);
      ASSERT_TRUE(path);
      EXPECT_EQ(platform::fs::readFile(*path).value_or("<missing>"), contentOf(version, i)) << i;
    }
    for (const auto& [url, entry] : app->getCacheEntries())
      if (auto path = VLCacheLocations::getLocalFilePath(*entry)) named.insert(*path);
    for (const auto& frame : app->cacheFrames())
      for (const auto& [url, entry] : frame->cacheEntries())
        if (auto path = VLCacheLocations::getLocalFilePath(*entry)) named.insert(*path);
    const std::string folder = platform::fs::appendPath(VLCacheLocations::cacheDirectory(), app->cacheApplicationKey());
    for (const auto& file : platform::fs::contentsOfDirectory(folder))
      EXPECT_TRUE(named.count(platform::fs::appendPath(folder, file))) << "orphaned " << file;
    engine.reset();
  }

  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }

  testing_support::HttpsTestServer server;
  testing_support::TempDir base;
  testing_support::TempDir runs;
  std::map<std::string, int> served;
};

}  // namespace

TEST_F(CrashReliabilityTest, AKilledUpdateLeavesTheOldVersionOrTheNewOneWhole) {
  const std::string previousRoot = platform::paths::dataRoot();
  prepareBase();
  int kills = 0, run = 0;
  auto runOnce = [&](const std::string& killAt, int delayMicroseconds) {
    const std::string dataRoot = runs.file("run" + std::to_string(run++));
    pid_t pid = spawnChild(dataRoot, killAt);
    if (delayMicroseconds >= 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds));
      ::kill(pid, SIGKILL);
    }
    if (reap(pid)) ++kills;
    verify(dataRoot, killAt + " after " + std::to_string(delayMicroseconds) + " us");
  };

  // After each file operation of the run (the start-up's manifest write, fifteen resource
  // files, two checkpoints, the swap), then between each manifest hash and its file.
  for (int k = 1; k <= 23; ++k) runOnce("op:" + std::to_string(k), -1);
  for (int m = 1; m <= 4; ++m) runOnce("manifest:" + std::to_string(m), -1);
  // And at random moments of the whole run.
  std::mt19937 random(20261206);
  for (int i = 0; i < 8; ++i) runOnce("none", std::uniform_int_distribution<int>(0, 400000)(random));
  runOnce("none", -1);  // uninterrupted: the update completes

  std::printf("kills: %d; restarts serving old: %d, new: %d\n", kills, served["old"], served["new"]);
  EXPECT_GE(kills, 30);
  EXPECT_GT(served["old"], 0);
  EXPECT_GT(served["new"], 0);
  platform::paths::setDataRoot(previousRoot);
  platform::UserDefaults::resetForTesting();
}
