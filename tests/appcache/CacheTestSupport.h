#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheResources.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLMimeTypesHelper.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "shell/VLLogger.h"
#include "support/HttpsTestServer.h"
#include "support/TestSupport.h"

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

// "<path>?<content hash>", as manifests name resources.
inline std::string hashed(const std::string& path, const std::string& content) {
  return path + "?" + VLFileChecksum::contentHashOfData(content);
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
  }
  ~CacheFixture() override { VLMimeTypesHelper::resetSharedInstance(); }

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

  std::shared_ptr<VLCacheResources> makeFrame(std::shared_ptr<platform::URLSession> session,
                                              const std::string& version = "v1") {
    return VLCacheResources::initForHostname(
        host(), "app", version, false, [session] { return session; },
        [this](std::int64_t, std::int64_t processed, std::int64_t) {
          std::lock_guard lock(mutex);
          progress.push_back(processed);
        },
        [this](const std::string& message) {
          std::lock_guard lock(mutex);
          errors.push_back(message);
        },
        [this](bool all) {
          std::lock_guard lock(mutex);
          finishes.push_back(all);
        });
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

  testing_support::ScopedDataRoot root;
  testing_support::HttpsTestServer server;
  std::mutex mutex;
  std::vector<std::int64_t> progress;
  std::vector<std::string> errors;
  std::vector<bool> finishes;
};

}  // namespace cache_test
