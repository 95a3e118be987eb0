#include "host/HBRPluginResult.h"

#include "host/HBRCommandQueue.h"

#include <atomic>

#include "host/HBRJSON.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"

using platform::Value;

namespace {
std::atomic<bool> gVerbose{false};
const char* const kStatusTexts[] = {"No result",   "OK",           "Class not found",
                                    "Illegal access", "Instantiation error", "Malformed url",
                                    "IO error",    "Invalid action", "JSON error",
                                    "Error"};
}  // namespace

Value hbr_arrayBufferObject(const platform::Bytes& data) {
  HBRCommandQueue::ConversionClock clock;
  return Value{{"HBRType", "ArrayBuffer"}, {"data", platform::base64Encode(data)}};
}

const char* HBRPluginResult::statusText(HBRResultStatus status) {
  auto index = static_cast<unsigned>(status);
  return index < 10 ? kStatusTexts[index] : "";
}

void HBRPluginResult::setVerbose(bool verbose) { gVerbose = verbose; }
bool HBRPluginResult::isVerbose() { return gVerbose; }

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatus(HBRResultStatus status) {
  return std::make_shared<HBRPluginResult>(status, Value());
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatus(HBRResultStatus status, Value message) {
  return std::make_shared<HBRPluginResult>(status, std::move(message));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsString(HBRResultStatus status,
                                                                           std::string message) {
  return resultWithStatus(status, Value(std::move(message)));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsInt(HBRResultStatus status, std::int32_t m) {
  return resultWithStatus(status, Value(m));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsNSInteger(HBRResultStatus status,
                                                                              std::int64_t m) {
  return resultWithStatus(status, Value(m));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsNSUInteger(HBRResultStatus status,
                                                                               std::uint64_t m) {
  return resultWithStatus(status, Value(m));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus status, double m) {
  return resultWithStatus(status, Value(m));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsBool(HBRResultStatus status, bool m) {
  return resultWithStatus(status, Value(m));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithBytes(HBRResultStatus status, HeldBytes bytes) {
  auto result = std::make_shared<HBRPluginResult>(status, Value());
  result->written_ = std::make_shared<Written>();
  result->written_->bytes = std::move(bytes);
  return result;
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus status,
                                                                                platform::Bytes data) {
  return resultWithBytes(status, std::move(data));
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsArrayBufferFromString(HBRResultStatus status,
                                                                                          std::string data) {
  return resultWithBytes(status, std::move(data));
}

std::string_view HBRPluginResult::Written::byteView() const {
  if (auto* held = std::get_if<platform::Bytes>(&bytes))
    return {reinterpret_cast<const char*>(held->data()), held->size()};
  if (auto* held = std::get_if<std::string>(&bytes)) return *held;
  return {};
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsMultipart(HBRResultStatus status,
                                                                              const Value& parts) {
  Value messages = Value::array();
  if (parts.is_array()) {
    for (const auto& part : parts)
      messages.push_back(part.is_binary() ? hbr_arrayBufferObject(part.get_binary()) : part);
  }
  return resultWithStatus(status, Value{{"HBRType", "MultiPart"}, {"messages", messages}});
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusToErrorObject(HBRResultStatus status,
                                                                                std::int32_t code) {
  return resultWithStatus(status, Value{{"code", code}});
}

std::shared_ptr<HBRPluginResult> HBRPluginResult::resultWithStatusAsJSONText(HBRResultStatus status,
                                                                             std::string json) {
  auto result = std::make_shared<HBRPluginResult>(status, Value());
  result->written_ = std::make_shared<Written>();
  result->written_->text = std::move(json);
  return result;
}

const Value& HBRPluginResult::message() const {
  if (!written_) return message_;
  std::call_once(written_->read, [written = written_.get()] {
    if (auto* held = std::get_if<platform::Bytes>(&written->bytes)) {
      written->value = hbr_arrayBufferObject(*held);
      return;
    }
    if (written->hasBytes()) {
      std::string_view view = written->byteView();
      written->value = hbr_arrayBufferObject(platform::Bytes(view.begin(), view.end()));
      return;
    }
    auto value = platform::parseJSONText(written->text);
    if (value) written->value = std::move(*value);
  });
  return written_->value;
}

namespace {
// The text of an ArrayBuffer object, the same as the value's: its members in the order the
// value keeps them, and Base64 needs no escape.
constexpr char kArrayBufferHead[] = "{\"HBRType\":\"ArrayBuffer\",\"data\":\"";
constexpr char kArrayBufferTail[] = "\"}";

void appendArrayBufferText(std::string& out, std::string_view bytes) {
  HBRCommandQueue::ConversionClock clock;
  out.reserve(out.size() + sizeof kArrayBufferHead + (bytes.size() + 2) / 3 * 4 + sizeof kArrayBufferTail + 16);
  out += kArrayBufferHead;
  platform::appendBase64(out, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  out += kArrayBufferTail;
}
}  // namespace

std::optional<size_t> HBRPluginResult::knownJSONSize() const {
  if (!written_) return std::nullopt;
  if (written_->hasBytes())
    return sizeof kArrayBufferHead - 1 + (written_->byteView().size() + 2) / 3 * 4 + sizeof kArrayBufferTail - 1;
  return written_->text.size();
}

std::optional<std::string> HBRPluginResult::argumentsAsJSON() const {
  if (written_ && written_->hasBytes()) {
    std::string text;
    appendArrayBufferText(text, written_->byteView());
    return text;
  }
  if (written_) return written_->text;
  // Written directly: the same text as the one-element array without its brackets, without
  // copying the message into an array first.
  return hbr_JSONStringOfArrayElement(message_);
}

bool HBRPluginResult::appendArgumentsAsJSON(std::string& out) const {
  if (written_ && written_->hasBytes()) {
    appendArrayBufferText(out, written_->byteView());
    return true;
  }
  if (written_) {
    out += written_->text;
    return true;
  }
  return hbr_appendJSONStringOfArrayElement(out, message_);
}
