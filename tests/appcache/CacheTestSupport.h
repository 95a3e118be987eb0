#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "appcache/VLCacheClock.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheResources.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLMimeTypesHelper.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "shell/VLLogger.h"
#include "support/HttpsTestServer.h"
#include "support/TestSupport.h"
#include "platform/foundation/DispatchQueue.h"

namespace cache_test {

// Every line the shared logger receives, installed once per program and emptied per test.
class CacheLog : public VLLoggerEngine {
 public:
  static CacheLog& shared() {
    static std::shared_ptr<CacheLog> log = [] {
      auto engine = std::make_shared<CacheLog>();
      VLLogger::initializeWithEngine(engine);
      return engine;
    }();
    return *log;
  }
  void processLog(const std::string& message, const std::string& module,
                  const std::optional<std::string>&, std::int64_t, const platform::Value&,
                  const std::optional<std::string>&) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(module + ": " + message);
  }
  void processLog(const std::optional<std::string>&, const std::string& message,
                  const std::string& module, std::int64_t, const platform::Value&,
                  const std::optional<std::string>&, const std::optional<std::string>&,
                  const std::optional<std::string>&) override {
    processLog(message, module, std::nullopt, 0, nullptr, std::nullopt);
  }
  size_t count(const std::string& part) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) n += line.find(part) != std::string::npos;
    return n;
  }
  bool contains(const std::string& part) const { return count(part) > 0; }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Holds requests at the server until released (bounded), so a test can act while they run.
// Handlers hold it by a shared pointer: the server's threads may still be leaving it after
// the test body has ended.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int waiting = 0;
  void pass() {
    std::unique_lock lock(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return open; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
  bool waitForWaiting(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return waiting >= n; });
  }
};

// What the engine tells its delegate, in order: "progress 1/2", "error <m>", "finish",
// "status 3", "exception <m>".
struct Listener : VLCacheListenerDelegate {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  void fireOnProgressEvent(std::int64_t processed, std::int64_t total) override {
    add("progress " + std::to_string(processed) + "/" + std::to_string(total));
  }
  void fireOnErrorEvent(const std::string& message) override { add("error " + message); }
  void fireOnFinishEvent() override { add("finish"); }
  void updateStatus(std::int64_t status) override { add("status " + std::to_string(status)); }
  void throwException(const std::string& message) override { add("exception " + message); }
  size_t count(const std::string& prefix) { return starting(prefix).size(); }
  std::vector<std::string> starting(const std::string& prefix) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& event : events)
      if (event.rfind(prefix, 0) == 0) out.push_back(event);
    return out;
  }
};

// The cache's clock in tests. Unless it is held, a delayed task runs at once (on the global
// queue) and the time moves on by its delay, so retries cost no waiting; a held clock keeps
// every task until advance() reaches its time. Every delay asked for is recorded.
class TestClock : public VLCacheClock {
 public:
  double now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void after(double seconds, std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      delays_.push_back(seconds);
      if (held_) {
        pending_.emplace_back(now_ + seconds, std::move(task));
        return;
      }
    }
    platform::DispatchQueue::global().async(std::move(task));
  }
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  // Moves the time on and runs, on this thread, every task that is due by then.
  void advance(double seconds) {
    std::vector<std::function<void()>> due;
    {
      std::lock_guard lock(mutex_);
      now_ += seconds;
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->first <= now_ + 1e-9) {
          due.push_back(std::move(it->second));
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& task : due) task();
  }
  std::vector<double> delays() {
    std::lock_guard lock(mutex_);
    return delays_;
  }
  size_t pending() {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }

 private:
  std::mutex mutex_;
  double now_ = 1000;
  bool held_ = false;
  std::vector<double> delays_;
  std::vector<std::pair<double, std::function<void()>>> pending_;
};

// "<path>?<content hash>", as manifests name resources.
inline std::string hashed(const std::string& path, const std::string& content) {
  return path + "?" + VLFileChecksum::contentHashOfData(content);
}

// The messages sent to `callbackId` (with `status`, when given) by every answer in `scripts`, in
// order: "__harborNativeCallback(["<id>",<status>,<message>,<keep>,0,"<document>"])", or a run of
// answers the bridge joined as "__harborNativeCallbacks([[...],[...]])".
inline std::vector<platform::Value> callbackMessages(const std::vector<std::string>& scripts,
                                                     const std::string& callbackId,
                                                     std::optional<int> status = std::nullopt) {
  std::vector<platform::Value> out;
  auto take = [&](const platform::Value& answer) {
    if (!answer.is_array() || answer.size() != 6 || answer[0] != callbackId) return;
    if (status && answer[1] != *status) return;
    out.push_back(answer[2]);
  };
  for (const auto& script : scripts) {
    bool joined = script.rfind("__harborNativeCallbacks(", 0) == 0;
    if (!joined && script.rfind("__harborNativeCallback(", 0) != 0) continue;
    const size_t open = script.find('(') + 1;
    auto value = platform::parseJSONText(script.substr(open, script.size() - open - 1));
    if (!value) {
      if (script.find("[\"" + callbackId + "\",") != std::string::npos) out.push_back(platform::Value("<unparsed>"));
    } else if (joined) {
      for (const auto& answer : *value) take(answer);
    } else {
      take(*value);
    }
  }
  return out;
}

inline std::string readFile(const std::string& path) {
  return platform::fs::readFile(path).value_or("<missing>");
}

// A fresh data root, package folder and HTTPS server for each test, with a session that has
// `connections` per host, and what a frame reports.
class CacheFixture : public ::testing::Test {
 protected:
  CacheFixture() {
    CacheLog::shared().clear();
    platform::Bundle::setMainPath(root.file("package"));
    VLMimeTypesHelper::resetSharedInstance();
    VLCacheClock::setShared(clock);
  }
  ~CacheFixture() override {
    VLMimeTypesHelper::resetSharedInstance();
    VLCacheClock::setShared(nullptr);
  }

  std::shared_ptr<platform::URLSession> makeSession(int connections) {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.setHTTPMaximumConnectionsPerHost(connections);
    return platform::URLSession::sessionWithConfiguration(configuration);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }

  // Serves `content` at the path of `url` (its query is ignored by the server).
  void serve(const std::string& url, const std::string& content,
             const std::string& type = "text/javascript; charset=UTF-8") {
    server.on("GET", VLCacheEntry::pathOfURL(url), [content, type](const auto&, auto& response) {
      response.set_content(content, type);
    });
  }

  template <typename T>
  auto into(std::vector<T>& list) {
    return [this, &list](T value) {
      std::lock_guard lock(mutex);
      list.push_back(std::move(value));
    };
  }
  std::shared_ptr<VLCacheResources> makeFrame(std::shared_ptr<platform::URLSession> session,
                                              const std::string& version = "v1") {
    return VLCacheResources::initForHostname(
        host(), "app", version, false, [session] { return session; },
        [add = into(progress)](std::int64_t, std::int64_t processed, std::int64_t) { add(processed); }, into(errors),
        into(finishes));
  }

  // Serves `count` resources "/app/<prefix>N.js" and answers their list; the first `held` wait
  // at the gate.
  platform::Value resources(const std::string& prefix, int count, std::shared_ptr<Gate> gate = nullptr, int held = 0) {
    platform::Value list = platform::Value::array();
    for (int i = 0; i < count; ++i) {
      std::string path = "/app/" + prefix + std::to_string(i) + ".js";
      std::string content = prefix + " content " + std::to_string(i);
      list.push_back(hashed(path, content));
      bool hold = gate && i < held;
      server.on("GET", path, [content, gate, hold](const auto&, auto& response) {
        if (hold) gate->pass();
        response.set_content(content, "text/javascript");
      });
    }
    return list;
  }
  // A frame of `version` listing `list`, its entries taken from `pool` where they are.
  std::shared_ptr<VLCacheResources> frameListing(const platform::Value& list,
                                                 std::shared_ptr<platform::URLSession> session,
                                                 const VLCacheResources::Entries& pool = {},
                                                 const std::string& version = "v1") {
    auto frame = makeFrame(std::move(session), version);
    frame->populateCacheEntriesForResourcePool(pool, nullptr, list, nullptr, nullptr);
    return frame;
  }

  template <typename Predicate>
  bool waitFor(Predicate&& done, double seconds = 10) {
    return testing_support::waitUntil(
        [&] {
          std::lock_guard lock(mutex);
          return done();
        },
        seconds);
  }
  std::string localFile(const VLCacheEntry& entry) {
    return VLCacheLocations::getLocalFilePath(entry).value_or("<none>");
  }

  std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
  testing_support::ScopedDataRoot root;
  testing_support::HttpsTestServer server;
  std::mutex mutex;
  std::vector<std::int64_t> progress;
  std::vector<std::string> errors;
  std::vector<bool> finishes;
};

}  // namespace cache_test
