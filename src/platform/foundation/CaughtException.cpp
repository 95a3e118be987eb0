#include "platform/foundation/CaughtException.h"

#include <atomic>
#include <string>

#include "platform/foundation/Log.h"

namespace platform {
namespace {
std::atomic<CaughtExceptionReporter> gReporter{nullptr};
}

void setCaughtExceptionReporter(CaughtExceptionReporter reporter) { gReporter = reporter; }

void reportCaughtException(const char* where) {
  std::exception_ptr caught = std::current_exception();
  try {
    std::string description = "an exception of an unknown type";
    try {
      if (caught) std::rethrow_exception(caught);
    } catch (const std::exception& e) {
      description = e.what();
    } catch (...) {
    }
    log(std::string(where) + " caught an exception: " + description);
    if (auto reporter = gReporter.load()) reporter(where, caught);
  } catch (...) {
    // Reporting must never turn a caught fault into an escaping one.
  }
}

}  // namespace platform
