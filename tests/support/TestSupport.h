#pragma once

#include <mutex>
#include <string>
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
  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }
  // Writes `content` to `relative`, making parent folders.
  std::string write(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace testing_support
