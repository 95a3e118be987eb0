#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/net/URLSession.h"

namespace net_test {

// Records the events a session's delegate sees, one line each, and the threads it sees them
// on. A completion line carries the task's state at that moment.
class SessionRecorder : public platform::URLSessionDelegate {
 public:
  std::mutex mutex;
  std::vector<std::string> events;
  std::set<std::thread::id> threads;
  std::string location;  // of the finished download

  // The events once the (single) task completed.
  std::vector<std::string> finished() {
    EXPECT_EQ(done_.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::lock_guard lock(mutex);
    return events;
  }
  void didReceiveResponse(platform::URLSession&, platform::URLSessionDataTask&,
                          const platform::URLResponse& response) override {
    note("response " + std::to_string(response.statusCode()));
  }
  void didReceiveData(platform::URLSession&, platform::URLSessionDataTask&,
                      const std::string& data) override {
    note("data " + data);
  }
  void didFinishDownloading(platform::URLSession&, platform::URLSessionDownloadTask&,
                            const std::string& file) override {
    note("finished " + platform::fs::readFile(file).value_or("<no file>"), file);
  }
  void didCompleteWithError(platform::URLSession&, platform::URLSessionTask& task,
                            const std::optional<platform::Error>& error) override {
    note((error ? "failed " + std::to_string(error->code) : std::string("complete")) + " state " +
         std::to_string(static_cast<int>(task.state())));
    done_.set_value();
  }

 private:
  void note(const std::string& event, const std::string& file = {}) {
    std::lock_guard lock(mutex);
    events.push_back(event);
    threads.insert(std::this_thread::get_id());
    if (!file.empty()) location = file;
  }
  std::promise<void> done_;
};

}  // namespace net_test
