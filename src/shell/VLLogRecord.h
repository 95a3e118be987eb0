#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// A record as the web application sends it to the logger's v2 actions: a dictionary with the
// optional keys "instant", "message", "source", "stack", "traceId", "spanId" (strings) and
// "attributes" (a dictionary of strings, numbers and booleans).
class VLLogRecord {
 public:
  using Text = std::optional<std::string>;

  // Takes every key's value as it is. A page is not trusted: a key whose value has the wrong
  // type (null counts as absent), or a record that is not a dictionary, gives an error that
  // names the key instead of a record.
  static std::optional<VLLogRecord> initWithDictionary(const platform::Value& dictionary,
                                                       std::string& error);
  VLLogRecord() = default;

  const Text& instant() const { return instant_; }
  const Text& message() const { return message_; }
  const Text& source() const { return source_; }
  const Text& stack() const { return stack_; }
  // A dictionary, or null when there is none.
  const platform::Value& attributes() const { return attributes_; }
  const Text& traceId() const { return traceId_; }
  const Text& spanId() const { return spanId_; }

 private:
  Text instant_, message_, source_, stack_, traceId_, spanId_;
  platform::Value attributes_;
};
