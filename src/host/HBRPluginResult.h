#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/foundation/Value.h"

enum class HBRResultStatus : unsigned {
  NoResult = 0,
  OK = 1,
  ClassNotFoundException = 2,
  IllegalAccessException = 3,
  InstantiationException = 4,
  MalformedUrlException = 5,
  IOException = 6,
  InvalidAction = 7,
  JSONException = 8,
  Error = 9,
};

// What a plugin sends back to a JavaScript callback.
class HBRPluginResult {
 public:
  HBRPluginResult() = default;
  HBRPluginResult(HBRResultStatus status, platform::Value message)
      : status_(status), message_(std::move(message)) {}

  static std::shared_ptr<HBRPluginResult> resultWithStatus(HBRResultStatus status);
  static std::shared_ptr<HBRPluginResult> resultWithStatus(HBRResultStatus status, platform::Value message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsString(HBRResultStatus status, std::string message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsInt(HBRResultStatus status, std::int32_t message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsNSInteger(HBRResultStatus status, std::int64_t message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsNSUInteger(HBRResultStatus status, std::uint64_t message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsDouble(HBRResultStatus status, double message);
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsBool(HBRResultStatus status, bool message);
  // The bytes are kept as they are given (moved in, where the caller can spare them) until
  // the answer is written.
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsArrayBuffer(HBRResultStatus status, platform::Bytes data);
  // The same for bytes held in a string (as files are read): taken over without a copy.
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsArrayBufferFromString(HBRResultStatus status,
                                                                                  std::string data);
  // Data parts become ArrayBuffer objects; every other part is kept as it is.
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsMultipart(HBRResultStatus status,
                                                                      const platform::Value& parts);
  static std::shared_ptr<HBRPluginResult> resultWithStatusToErrorObject(HBRResultStatus status, std::int32_t code);
  // A message the plugin has already written as JSON text (one compact JSON value, valid
  // UTF-8): sent as it stands, so a large answer is never built as a value and written again.
  // `message()` reads it into a value, once, for whoever asks.
  static std::shared_ptr<HBRPluginResult> resultWithStatusAsJSONText(HBRResultStatus status, std::string json);

  static const char* statusText(HBRResultStatus status);
  static void setVerbose(bool verbose);
  static bool isVerbose();

  HBRResultStatus status() const { return status_; }
  // Null means no message.
  const platform::Value& message() const;
  bool keepCallback() const { return keepCallback_; }
  void setKeepCallbackAsBool(bool keep) { keepCallback_ = keep; }
  const std::any& associatedObject() const { return associatedObject_; }
  void setAssociatedObject(std::any object) { associatedObject_ = std::move(object); }

  // The JSON text of the message alone (strings quoted, no message "null"); nullopt when
  // the message cannot be written as JSON.
  std::optional<std::string> argumentsAsJSON() const;
  // The same text appended to `out`; false, with `out` unchanged, when there is none.
  bool appendArgumentsAsJSON(std::string& out) const;
  // The length of that text where it is known without building the message (a message given
  // as JSON text or as bytes); nullopt otherwise.
  std::optional<size_t> knownJSONSize() const;

 private:
  HBRResultStatus status_ = HBRResultStatus::NoResult;
  platform::Value message_;
  // The bytes of an ArrayBuffer message, in the container they were given in.
  using HeldBytes = std::variant<std::monostate, platform::Bytes, std::string>;
  static std::shared_ptr<HBRPluginResult> resultWithBytes(HBRResultStatus status, HeldBytes bytes);
  // A message given as JSON text, or as the bytes of an ArrayBuffer (whose Base64 text is
  // written straight into the answer), and the value made from it on demand.
  struct Written {
    std::string text;
    HeldBytes bytes;
    bool hasBytes() const { return bytes.index() != 0; }
    std::string_view byteView() const;
    std::once_flag read;
    platform::Value value;
  };
  std::shared_ptr<Written> written_;
  bool keepCallback_ = false;
  std::any associatedObject_;
};

// The ArrayBuffer object form of bytes.
platform::Value hbr_arrayBufferObject(const platform::Bytes& data);
