#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Collects the process log while alive, so a test can look for a line.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  bool contains(const std::string& part) const;
  size_t count(const std::string& part) const;
  void clear();

 private:
  static void sink(const std::string& line, void* context);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A fresh folder removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  // Writes `content` to `relative`, making parent folders.
  std::string write(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

// A fresh folder whose "data" subfolder is the platform's data root while the object lives;
// the root from before comes back when it goes. The rest of the folder is the test's own (a
// package, fixture files), kept apart from what the code under test writes under the root.
class ScopedDataRoot : public TempDir {
 public:
  ScopedDataRoot();
  ~ScopedDataRoot();

  std::string dataRoot() const { return file("data"); }

 private:
  std::string previous_;
};

// Polls `done` until it holds or `seconds` have passed, and answers its last value: for what
// another thread (a server, a session queue) finishes without telling anyone.
template <typename Predicate>
bool waitUntil(Predicate&& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testing_support
