#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

// One log call as the engine posts it to the pipeline. Never changed once made.
class VLLog final : public platform::Object {
 public:
  using Text = std::optional<std::string>;

  // No attributes become an empty dictionary; no instant becomes the current time. Both
  // nanosecond times are the instant in whole milliseconds since 1970, times 1,000,000; an
  // instant that does not parse gives the time the log was made instead.
  VLLog(std::string message, Text source, std::int64_t level, platform::Value attributes,
        Text stack, Text traceId, Text spanId, Text instant);

  std::string className() const override { return "VLLog"; }

  // "error" for the error and fatal levels, "general" for every other.
  static const char* legacyLogTypeFromLogLevel(std::int64_t level);

  // The given instant, or the moment the log was made in the same form.
  std::string instant() const;
  std::int64_t level() const { return level_; }
  const std::string& message() const { return message_; }
  const Text& source() const { return source_; }
  const Text& stack() const { return stack_; }
  const Text& traceId() const { return traceId_; }
  const Text& spanId() const { return spanId_; }
  // Always a dictionary: an empty one when the log has no attributes.
  const platform::Value& attributes() const;
  std::int64_t timeUnixNano() const { return timeUnixNano_; }
  std::int64_t observedTimeUnixNano() const { return observedTimeUnixNano_; }

 private:
  // Absent when the log was made without one: the text is then written from the nanosecond
  // time when it is needed, on the pipeline's thread rather than the caller's.
  Text instant_;
  std::int64_t level_;
  std::string message_;
  Text source_, stack_, traceId_, spanId_;
  platform::Value attributes_;
  std::int64_t timeUnixNano_ = 0;
  std::int64_t observedTimeUnixNano_ = 0;
};

// Dates as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, whatever the process's time zone.
using VLDate = std::chrono::system_clock::time_point;
// None when the text does not match the pattern exactly or names no real moment.
std::optional<VLDate> dateFromISO8061String(const std::string& text);
std::string ISO8061StringFromDate(VLDate date);
