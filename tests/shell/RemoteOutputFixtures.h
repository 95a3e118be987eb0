#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/MainLoop.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "platform/logging/RRVLogStore.h"
#include "platform/net/HTTPCookieStorage.h"
#include "shell/VLRoruvLogger.h"
#include "support/HttpsTestServer.h"

namespace shell_test {

// Timers that fire only when the test says so, so that delays are read, not waited for.
class ManualScheduler : public roruv::RRVScheduler {
 public:
  struct Entry : Timer {
    double seconds = 0;
    std::function<void()> fire;
    std::atomic<bool> valid{true};
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
  };

  std::shared_ptr<Timer> schedule(double seconds, std::function<void()> fire) override {
    auto entry = std::make_shared<Entry>();
    entry->seconds = seconds;
    entry->fire = std::move(fire);
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    return entry;
  }
  // The delays of the timers that are armed now.
  std::vector<double> armed() {
    std::lock_guard lock(mutex_);
    std::vector<double> delays;
    for (const auto& entry : entries_)
      if (entry->valid) delays.push_back(entry->seconds);
    return delays;
  }
  // Fires the oldest armed timer, as the main loop would; false when none is armed.
  bool fire() {
    std::shared_ptr<Entry> due;
    {
      std::lock_guard lock(mutex_);
      auto found = std::find_if(entries_.begin(), entries_.end(),
                                [](const auto& entry) { return entry->valid.load(); });
      if (found == entries_.end()) return false;
      due = *found;
    }
    due->valid = false;
    due->fire();
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
};

// Opens the shared cookie store here, on the main thread, as the shell does long before its
// first log goes out. Its first opening registers GLib types, which the thread sanitizer
// cannot see ordered against the main loop's own allocations.
inline void openSharedCookieStore() { platform::HTTPCookieStorage::sharedHTTPCookieStorage(); }

// Runs the main loop (where the outputs arm their timers) until `done` holds.
inline bool settle(const std::function<bool()>& done, double seconds = 10) {
  return platform::MainLoop::runUntil(done, seconds);
}

// The platform server's log endpoints on the HTTPS fixture, answering with the statuses the
// test sets, and keeping the bodies of every POST in arrival order.
class LogServer {
  // Declared before the server, which stops before they go.
  std::string logPath_;
  std::mutex mutex_;
  std::vector<std::string> bodies_;

 public:
  explicit LogServer(std::string logPath) : logPath_(std::move(logPath)) {
    server.on("POST", logPath_, [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        bodies_.push_back(request.body);
      }
      response.status = logStatus;
      response.set_content("{}", "application/json");
    });
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
  std::vector<std::string> bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
  }
  size_t posts() { return server.requestCount(logPath_); }

  std::atomic<int> logStatus{200};
  testing_support::HttpsTestServer server;
};

template <typename T>
std::shared_ptr<T> outputOf(const roruv::RRVLogger& logger) {
  for (const auto& output : logger.outputs())
    if (auto found = std::dynamic_pointer_cast<T>(output)) return found;
  return nullptr;
}

}  // namespace shell_test
