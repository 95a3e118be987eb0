#include "platform/foundation/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {
std::mutex gLogMutex;
LogSink gSink = nullptr;
void* gSinkContext = nullptr;
}  // namespace

void log(const std::string& message) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  if (gSink) {
    gSink(message, gSinkContext);
    return;
  }
  std::fprintf(stderr, "%s\n", message.c_str());
}

void setLogSink(LogSink sink, void* context) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gSink = sink;
  gSinkContext = context;
}

std::string stringf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(size));
  }
  va_end(args);
  return out;
}

}  // namespace platform
