#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/foundation/Value.h"
#include "shell/VLException.h"
#include "shell/VLLoggerEngine.h"

// The log operations every native part of the shell calls, with a message, a module name and
// the level the operation names. `extra` is a dictionary of string keys to strings, numbers
// or booleans (null: none); `stack` a call stack, one frame a line; `instant` the moment of
// the event as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" (none: now). Trace to warning never carry a
// stack.
//
// Where two operations of the platform's logger would be told apart only by the type of
// their third argument (a stack or an exception in place of the extra), they are named
// `...WithStack` and `...WithException`, so that a string is never taken for the wrong one.
// The extra itself cannot be made from a string either: a stack or an instant passed in its
// place does not compile.
//
// Each operation turns into one call of `processEntry`, which an implementation provides.
class VLLoggerProtocol {
 public:
  // The extra of a call: null (none), a Value, or a dictionary written in braces
  // (`{{"code", 3}}`); never a string.
  class Extra {
   public:
    Extra() = default;
    Extra(std::nullptr_t) {}
    Extra(platform::Value value) : value_(std::move(value)) {}
    Extra(platform::Value::initializer_list_t dictionary) : value_(dictionary) {}
    template <typename T>
      requires(std::is_convertible_v<const T&, std::string_view> &&
               !std::is_same_v<T, std::nullptr_t>)
    Extra(const T&) = delete;

    const platform::Value& value() const { return value_; }

   private:
    platform::Value value_;
  };
  using Text = std::optional<std::string>;

  virtual ~VLLoggerProtocol() = default;

  void logTrace(const std::string& message, const std::string& module, const Extra& extra,
                const Text& instant) {
    processEntry(VLLogLevelTrace, message, module, std::nullopt, extra.value(), instant);
  }
  void logTrace(const std::string& message, const std::string& module, const Extra& extra) {
    logTrace(message, module, extra, std::nullopt);
  }
  void logTrace(const std::string& message, const std::string& module) {
    logTrace(message, module, nullptr);
  }

  void logVerbose(const std::string& message, const std::string& module, const Extra& extra,
                  const Text& instant) {
    processEntry(VLLogLevelVerbose, message, module, std::nullopt, extra.value(), instant);
  }
  void logVerbose(const std::string& message, const std::string& module, const Extra& extra) {
    logVerbose(message, module, extra, std::nullopt);
  }
  void logVerbose(const std::string& message, const std::string& module) {
    logVerbose(message, module, nullptr);
  }

  void logDebug(const std::string& message, const std::string& module, const Extra& extra,
                const Text& instant) {
    processEntry(VLLogLevelDebug, message, module, std::nullopt, extra.value(), instant);
  }
  void logDebug(const std::string& message, const std::string& module, const Extra& extra) {
    logDebug(message, module, extra, std::nullopt);
  }
  void logDebug(const std::string& message, const std::string& module) {
    logDebug(message, module, nullptr);
  }

  void logInfo(const std::string& message, const std::string& module, const Extra& extra,
               const Text& instant) {
    processEntry(VLLogLevelInfo, message, module, std::nullopt, extra.value(), instant);
  }
  void logInfo(const std::string& message, const std::string& module, const Extra& extra) {
    logInfo(message, module, extra, std::nullopt);
  }
  void logInfo(const std::string& message, const std::string& module) {
    logInfo(message, module, nullptr);
  }

  void logWarning(const std::string& message, const std::string& module, const Extra& extra,
                  const Text& instant) {
    processEntry(VLLogLevelWarning, message, module, std::nullopt, extra.value(), instant);
  }
  void logWarning(const std::string& message, const std::string& module, const Extra& extra) {
    logWarning(message, module, extra, std::nullopt);
  }
  void logWarning(const std::string& message, const std::string& module) {
    logWarning(message, module, nullptr);
  }

  void logError(const std::string& message, const std::string& module, const Extra& extra,
                const Text& stack, const Text& instant) {
    processEntry(VLLogLevelError, message, module, stack, extra.value(), instant);
  }
  void logError(const std::string& message, const std::string& module, const Extra& extra,
                const Text& stack) {
    logError(message, module, extra, stack, std::nullopt);
  }
  void logErrorWithStack(const std::string& message, const std::string& module, const Text& stack) {
    logError(message, module, nullptr, stack, std::nullopt);
  }
  void logErrorWithException(const std::string& message, const std::string& module,
                             const Extra& extra, const VLException* exception,
                             const Text& instant) {
    logError(message, module, extra, stackOf(exception), instant);
  }
  void logErrorWithException(const std::string& message, const std::string& module,
                             const Extra& extra, const VLException* exception) {
    logErrorWithException(message, module, extra, exception, std::nullopt);
  }
  void logErrorWithException(const std::string& message, const std::string& module,
                             const VLException* exception) {
    logErrorWithException(message, module, nullptr, exception, std::nullopt);
  }
  void logError(const std::string& message, const std::string& module, const Extra& extra) {
    logError(message, module, extra, std::nullopt, std::nullopt);
  }
  void logError(const std::string& message, const std::string& module) {
    logError(message, module, nullptr);
  }

  void logFatal(const std::string& message, const std::string& module, const Extra& extra,
                const Text& stack, const Text& instant) {
    processEntry(VLLogLevelFatal, message, module, stack, extra.value(), instant);
  }
  void logFatal(const std::string& message, const std::string& module, const Extra& extra,
                const Text& stack) {
    logFatal(message, module, extra, stack, std::nullopt);
  }
  void logFatalWithStack(const std::string& message, const std::string& module, const Text& stack) {
    logFatal(message, module, nullptr, stack, std::nullopt);
  }
  void logFatalWithException(const std::string& message, const std::string& module,
                             const Extra& extra, const VLException* exception,
                             const Text& instant) {
    logFatal(message, module, extra, stackOf(exception), instant);
  }
  void logFatalWithException(const std::string& message, const std::string& module,
                             const Extra& extra, const VLException* exception) {
    logFatalWithException(message, module, extra, exception, std::nullopt);
  }
  void logFatalWithException(const std::string& message, const std::string& module,
                             const VLException* exception) {
    logFatalWithException(message, module, nullptr, exception, std::nullopt);
  }
  void logFatal(const std::string& message, const std::string& module, const Extra& extra) {
    logFatal(message, module, extra, std::nullopt, std::nullopt);
  }
  void logFatal(const std::string& message, const std::string& module) {
    logFatal(message, module, nullptr);
  }

  // The exception's call stack, its symbols joined by single newlines; none without one.
  static Text stackOf(const VLException* exception);

 protected:
  virtual void processEntry(std::int64_t level, const std::string& message,
                            const std::string& module, const Text& stack,
                            const platform::Value& extra, const Text& instant) = 0;
};
