#include "host/HBRInvokedUrlCommand.h"

#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

using platform::Value;

namespace {
std::optional<std::string> stringOrNone(Value&& value) {
  if (value.is_string()) return std::move(value.get_ref<std::string&>());
  return std::nullopt;
}

bool isOfKind(const Value& value, HBRArgumentKind kind) {
  switch (kind) {
    case HBRArgumentKind::String: return value.is_string();
    case HBRArgumentKind::Number: return value.is_number() || value.is_boolean();
    case HBRArgumentKind::Boolean: return value.is_boolean();
    case HBRArgumentKind::Array: return value.is_array();
    case HBRArgumentKind::Dictionary: return value.is_object();
    case HBRArgumentKind::Data: return value.is_binary();
  }
  return false;
}
}  // namespace

HBRInvokedUrlCommand::HBRInvokedUrlCommand(Value arguments, std::optional<std::string> callbackId,
                                           std::optional<std::string> className,
                                           std::optional<std::string> methodName)
    : arguments_(std::make_shared<Value>(arguments.is_array() ? std::move(arguments) : Value::array())),
      callbackId_(std::move(callbackId)),
      className_(std::move(className)),
      methodName_(std::move(methodName)) {
  massageArguments();
}

bool HBRInvokedUrlCommand::isNestedTooDeep(const Value& json) {
  if (!platform::nestedDeeperThan(json)) return false;
  const Value* callbackId = json.is_array() && !json.empty() ? &json[0] : nullptr;
  platform::log(platform::stringf("ERROR: Refusing a command nested deeper than %zu levels (callback id %s).",
                                  platform::kMaxNestingDepth,
                                  callbackId && callbackId->is_string() ? callbackId->get<std::string>().c_str()
                                                                        : "none"));
  return true;
}

std::optional<HBRInvokedUrlCommand> HBRInvokedUrlCommand::commandFromJson(const Value& json) {
  // Checked before the copy, which walks the value recursively.
  if (isNestedTooDeep(json)) return std::nullopt;
  Value copy = json;
  return decode(std::move(copy));
}

std::optional<HBRInvokedUrlCommand> HBRInvokedUrlCommand::commandFromJson(Value&& json) {
  if (isNestedTooDeep(json)) return std::nullopt;
  return decode(std::move(json));
}

std::optional<HBRInvokedUrlCommand> HBRInvokedUrlCommand::commandFromShallowJson(Value&& json) {
  return decode(std::move(json));
}

std::optional<HBRInvokedUrlCommand> HBRInvokedUrlCommand::decode(Value&& json) {
  if (!json.is_array() || json.size() != 4) {
    // The page's value is bounded in depth by now; only its beginning goes into the log. Bytes
    // show as their size: written out, megabytes of them would be text several times as large.
    std::vector<Value*> pending{&json};
    while (!pending.empty()) {
      Value* current = pending.back();
      pending.pop_back();
      if (current->is_binary())
        *current = platform::stringf("<%zu bytes>", current->get_binary().size());
      else if (current->is_array() || current->is_object())
        for (Value& child : *current) pending.push_back(&child);
    }
    constexpr size_t kShown = 1024;
    std::string shown = platform::jsonText(json);
    if (shown.size() > kShown) shown = platform::replacingInvalidUTF8(shown.substr(0, kShown)) + "...";
    platform::log(platform::stringf("ERROR: Malformed command, expected [callbackId, service, action, arguments]: %s",
                                    shown.c_str()));
    return std::nullopt;
  }
  return HBRInvokedUrlCommand(std::move(json[3]), stringOrNone(std::move(json[0])),
                              stringOrNone(std::move(json[1])), stringOrNone(std::move(json[2])));
}

void HBRInvokedUrlCommand::massageArguments() {
  for (auto& argument : *arguments_) {
    if (!argument.is_object()) continue;
    auto type = argument.find("HBRType");
    auto data = argument.find("data");
    if (type == argument.end() || *type != "ArrayBuffer" || data == argument.end()) continue;
    std::optional<platform::Bytes> bytes;
    if (data->is_binary()) bytes = std::move(data->get_binary());
    else if (data->is_string()) bytes = platform::base64Decode(data->get_ref<const std::string&>());
    if (bytes) {
      argument = platform::bytesValue(std::move(*bytes));
    } else {
      // Bytes that cannot be decoded must not reach a plugin as if they were the payload.
      platform::log("ERROR: ArrayBuffer argument with invalid base64 data; passing null instead.");
      argument = nullptr;
    }
  }
}

const Value& HBRInvokedUrlCommand::emptyArguments() {
  static const Value empty = Value::array();
  return empty;
}

const Value& HBRInvokedUrlCommand::nullValue() {
  static const Value null;
  return null;
}

const Value& HBRInvokedUrlCommand::argumentAtIndex(size_t index, const Value& defaultValue,
                                                   std::optional<HBRArgumentKind> kind) const {
  const Value& all = arguments();
  if (index >= all.size()) return defaultValue;
  const Value& argument = all[index];
  if (argument.is_null()) return defaultValue;
  if (kind && !isOfKind(argument, *kind)) return defaultValue;
  return argument;
}
