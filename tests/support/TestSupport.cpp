#include "support/TestSupport.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

namespace testing_support {

LogCapture::LogCapture() { platform::setLogSink(&LogCapture::sink, this); }
LogCapture::~LogCapture() { platform::setLogSink(nullptr, nullptr); }

void LogCapture::sink(const std::string& line, void* context) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.push_back(line);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool LogCapture::contains(const std::string& part) const { return count(part) > 0; }

size_t LogCapture::count(const std::string& part) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& line : lines_)
    if (line.find(part) != std::string::npos) ++n;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veltro-test-XXXXXX").string();
  char* made = g_mkdtemp(pattern.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path target = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(target.parent_path());
  std::ofstream(target, std::ios::binary) << content;
  return target.string();
}

// Test programs run under TemporaryDataRoot, so the root from before is always one that was
// set explicitly, and putting it back as an explicit root changes nothing.
ScopedDataRoot::ScopedDataRoot() : previous_(platform::paths::dataRoot()) {
  platform::paths::setDataRoot(dataRoot());
}

ScopedDataRoot::~ScopedDataRoot() { platform::paths::setDataRoot(previous_); }

}  // namespace testing_support
