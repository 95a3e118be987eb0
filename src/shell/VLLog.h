#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

// One log call as the engine posts it to the pipeline. Never changed once made.
//
// What a caller (a page, above all) hands in is bounded here, before the log waits anywhere:
// the message, source and stack are cut at their byte limits with a visible mark (see
// VLTruncatedText); attributes are kept only with a non-empty key of at most
// kMostAttributeKeyBytes and a string, number or boolean value, string values are cut like the
// message, and at most kMostAttributes of them, kMostAttributeBytes in all, are kept: every
// attribute left out is counted in `droppedAttributesCount`. Trace and span ids are kept only
// when valid (VLValidTraceId, VLValidSpanId).
class VLLog final : public platform::Object {
 public:
  using Text = std::optional<std::string>;

  static constexpr std::size_t kMostMessageBytes = 16 * 1024;
  static constexpr std::size_t kMostSourceBytes = 256;
  static constexpr std::size_t kMostStackBytes = 32 * 1024;
  static constexpr std::size_t kMostAttributeKeyBytes = 256;
  static constexpr std::size_t kMostAttributeValueBytes = 4 * 1024;
  static constexpr std::size_t kMostAttributes = 64;
  static constexpr std::size_t kMostAttributeBytes = 16 * 1024;

  // No attributes become an empty dictionary; no instant becomes the current time. Both
  // nanosecond times are the instant in whole milliseconds since 1970, times 1,000,000; an
  // instant that does not parse, or lies outside what they can hold (before 1970 or after
  // 2262-04-11), gives the time the log was made instead.
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
  // The caller's attributes that were left out by the rules above.
  std::int64_t droppedAttributesCount() const { return droppedAttributesCount_; }

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
  std::int64_t droppedAttributesCount_ = 0;
};

// `text` when it has at most `most` bytes; otherwise its first bytes, cut before a UTF-8
// sequence, followed by the mark " [truncated: <n> bytes in all]", the whole within `most`
// bytes (`most` is taken as at least 64).
std::string VLTruncatedText(std::string text, std::size_t most);

// A trace id is 32 hexadecimal digits, a span id 16, not all zeros; upper-case digits are
// made lower-case. None for anything else.
std::optional<std::string> VLValidTraceId(const std::string& text);
std::optional<std::string> VLValidSpanId(const std::string& text);

// Nanoseconds since 1970 of a moment given in milliseconds since 1970; none when the result
// is negative or does not fit a signed 64-bit number.
std::optional<std::int64_t> VLUnixNanoFromMilliseconds(std::int64_t milliseconds);

// Dates as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, whatever the process's time zone.
using VLDate = std::chrono::system_clock::time_point;
// None when the text does not match the pattern exactly, names no real moment, or names one
// that a VLDate cannot hold (beyond about ±292 years from 1970).
std::optional<VLDate> dateFromISO8061String(const std::string& text);
std::string ISO8061StringFromDate(VLDate date);
