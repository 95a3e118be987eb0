#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The kinds `argumentAtIndex` can insist on. A boolean counts as a number, as it does on
// the platform the web application was written for.
enum class HBRArgumentKind { String, Number, Boolean, Array, Dictionary, Data };

// One call from the web application: [callbackId, service, action, arguments].
class HBRInvokedUrlCommand {
 public:
  HBRInvokedUrlCommand(platform::Value arguments, std::optional<std::string> callbackId,
                       std::optional<std::string> className, std::optional<std::string> methodName);

  // Builds a command from its wire form. Anything but an array of four elements is refused
  // with a log line, and so is one nested deeper than `platform::kMaxNestingDepth` (see
  // `isNestedTooDeep`). A callback id that is not a string counts as none, as does a service or
  // action that is not a string; arguments that are not an array count as none.
  static std::optional<HBRInvokedUrlCommand> commandFromJson(const platform::Value& json);
  // The same, taking the arguments over instead of copying them.
  static std::optional<HBRInvokedUrlCommand> commandFromJson(platform::Value&& json);
  // The same for a value known to nest no deeper than the limit (measured as it was decoded),
  // which is not walked again.
  static std::optional<HBRInvokedUrlCommand> commandFromShallowJson(platform::Value&& json);

  // True (with a log line) when `json` nests deeper than the bridge takes; nothing else may
  // walk such a value recursively.
  static bool isNestedTooDeep(const platform::Value& json);

  const platform::Value& arguments() const { return arguments_ ? *arguments_ : emptyArguments(); }
  // The same arguments, shared: copies of a command share them (they never change once the
  // command is made), and a plugin that works on them after its action has returned keeps
  // them without copying a large payload.
  std::shared_ptr<const platform::Value> sharedArguments() const { return arguments_; }
  const std::optional<std::string>& callbackId() const { return callbackId_; }
  const std::optional<std::string>& className() const { return className_; }
  const std::optional<std::string>& methodName() const { return methodName_; }

  // The argument, or `defaultValue` when the index is out of range, the argument is null, or
  // it is not of the kind asked for. Nothing is copied: keep a copy of the answer when the
  // default is a temporary that ends with the statement.
  const platform::Value& argumentAtIndex(size_t index, const platform::Value& defaultValue = nullValue(),
                                         std::optional<HBRArgumentKind> kind = std::nullopt) const;
  static const platform::Value& nullValue();

 private:
  static std::optional<HBRInvokedUrlCommand> decode(platform::Value&& json);
  void massageArguments();
  static const platform::Value& emptyArguments();

  std::shared_ptr<platform::Value> arguments_;  // null only in a command moved from
  std::optional<std::string> callbackId_;
  std::optional<std::string> className_;
  std::optional<std::string> methodName_;
};
