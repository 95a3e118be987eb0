#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/logging/RRVBufferedOutput.h"
#include "platform/logging/RRVLogger.h"

namespace logging_test {

// What tests post: a text, which the echo filter turns into the record {"text": text}.
class Note final : public platform::Object {
 public:
  explicit Note(std::string text) : text(std::move(text)) {}
  std::string className() const override { return "Note"; }
  const std::string text;
};

class EchoFilter : public roruv::RRVFilter {
 public:
  roruv::RRVLogs logsWithObject(const std::shared_ptr<const platform::Object>& object,
                                const std::string& tag, bool& captured) override {
    auto note = std::dynamic_pointer_cast<const Note>(object);
    if (!note) return {};
    if (note->text == "throw") throw std::runtime_error("a filter fault");
    captured = true;
    return {std::make_shared<roruv::RRVLog>(tag, logger()->currentDate(),
                                            platform::Value{{"text", note->text}})};
  }
};

// Collects the texts of the logs it receives.
class RecordingOutput : public roruv::RRVOutput {
 public:
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override {
    std::lock_guard lock(mutex);
    texts.push_back(log->userInfo().value("text", ""));
  }
  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return texts;
  }
  std::mutex mutex;
  std::vector<std::string> texts;
};

// A buffered output whose writes succeed or fail as the test scripts them (success when the
// script has run out), and which remembers every chunk it was asked to write.
class ScriptedOutput : public roruv::RRVBufferedOutput {
 public:
  void script(std::vector<bool> results) {
    std::lock_guard lock(mutex);
    results_.assign(results.begin(), results.end());
  }
  std::vector<std::vector<std::string>> chunks() {
    std::lock_guard lock(mutex);
    return chunks_;
  }
  // Writes one chunk and waits until its result has been handled.
  bool writeOnce() {
    size_t before = finished;
    tick();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (finished == before) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  using RRVBufferedOutput::currentDelay;
  using RRVBufferedOutput::reachedRetryLimit;

  std::atomic<size_t> finished{0};
  bool callTwice = false;
  bool throwInstead = false;
  // Runs as a failed write is handled, before the output has counted the failure.
  std::function<void()> onFailure;

 protected:
  void didWriteChunk(const std::shared_ptr<roruv::RRVChunk>& chunk, bool success) override {
    if (!success && onFailure) onFailure();
    RRVBufferedOutput::didWriteChunk(chunk, success);
  }
  void writeChunk(const std::shared_ptr<roruv::RRVChunk>& chunk, Completion completion) override {
    bool result = true;
    {
      std::lock_guard lock(mutex);
      std::vector<std::string> texts;
      for (const auto& log : chunk->logs()) texts.push_back(log->userInfo().value("text", ""));
      chunks_.push_back(texts);
      if (!results_.empty()) {
        result = results_.front();
        results_.pop_front();
      }
    }
    if (throwInstead) {
      ++finished;
      throw std::runtime_error("a write fault");
    }
    completion(result);
    if (callTwice) completion(!result);
    ++finished;
  }

 private:
  std::mutex mutex;
  std::deque<bool> results_;
  std::vector<std::vector<std::string>> chunks_;
};

inline void registerTestClasses() {
  roruv::RRVFilterClassRegistry::shared().registerClass(
      "EchoFilter", [] { return std::make_shared<EchoFilter>(); });
  roruv::RRVOutputClassRegistry::shared().registerClass(
      "RecordingOutput", [] { return std::make_shared<RecordingOutput>(); });
  roruv::RRVOutputClassRegistry::shared().registerClass(
      "ScriptedOutput", [] { return std::make_shared<ScriptedOutput>(); });
}

}  // namespace logging_test
