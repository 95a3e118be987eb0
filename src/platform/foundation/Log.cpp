#include "platform/foundation/Log.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "platform/foundation/Strings.h"

namespace platform {
namespace {
std::mutex gLogMutex;
LogSink gSink = nullptr;
void* gSinkContext = nullptr;
}  // namespace

void log(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(gLogMutex);
    if (gSink) {
      gSink(message, gSinkContext);
      return;
    }
  }
  // Written without the lock, so that a standard error nobody reads holds up only the thread
  // that writes; one write(2) per line keeps lines whole (short ones atomically).
  std::string line;
  line.reserve(message.size() + 1);
  line.append(message).push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    rest.remove_prefix(static_cast<size_t>(written));
  }
}

void setLogSink(LogSink sink, void* context) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gSink = sink;
  gSinkContext = context;
}

std::string stringf(const char* format, ...) {
  // Numbers are written the same for every user: log lines, messages and the texts made here
  // are read by programs too, and GTK has switched the process to the user's locale.
  ScopedCLocale cLocale;
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
