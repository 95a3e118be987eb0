#include "shell/VLRoruvFilter.h"

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/logging/RRVLogger.h"
#include "shell/VLLoggerEngine.h"
#include "shell/VLOtelUtils.h"

using platform::Value;

namespace {

constexpr std::int64_t kDefaultVisibility = 3;

std::string clean(const std::string& text) {
  return platform::isValidUTF8(text) ? text : platform::replacingInvalidUTF8(text);
}

std::string clean(const std::optional<std::string>& text) {
  return text ? clean(*text) : std::string();
}

// Every string and key of a value from a caller, made valid UTF-8.
Value cleanValue(const Value& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    return platform::isValidUTF8(text) ? value : Value(platform::replacingInvalidUTF8(text));
  }
  if (value.is_object()) {
    Value cleaned = Value::object();
    for (const auto& [key, item] : value.items()) cleaned[clean(key)] = cleanValue(item);
    return cleaned;
  }
  if (value.is_array()) {
    Value cleaned = Value::array();
    for (const auto& item : value) cleaned.push_back(cleanValue(item));
    return cleaned;
  }
  return value;
}

bool isErrorLevel(std::int64_t level) {
  return level == VLLogLevelError || level == VLLogLevelFatal;
}

}  // namespace

void VLRoruvFilter::configure(const roruv::RRVSettings& settings) {
  RRVFilter::configure(settings);
  // Both are the engine's to give; without them the records still go out, only poorer.
  deviceInfo_ =
      roruv::settingAs<std::shared_ptr<VLDeviceInfo>>(settings, kDeviceInfoKey).value_or(nullptr);
  if (!deviceInfo_) platform::log("Missing VLDeviceInfo.");
  auto otlp = roruv::numberSetting(settings, kPlatformVersionKey);
  if (!otlp) platform::log("Invalid \"useOtlp type format.\"");
  useOtlp_ = otlp && *otlp != 0;
}

roruv::RRVLogs VLRoruvFilter::logsWithObject(const std::shared_ptr<const platform::Object>& object,
                                             const std::string& tag, bool& captured) {
  auto log = std::dynamic_pointer_cast<const VLLog>(object);
  if (!log) return {};
  captured = true;
  auto pipeline = logger();
  roruv::RRVDate date = pipeline ? pipeline->currentDate() : std::chrono::system_clock::now();
  Value record = useOtlp_ ? getUserInfoForOtlpFormat(*log) : getUserInfoForRennicFormat(*log);
  return {std::make_shared<roruv::RRVLog>(tag, date, std::move(record))};
}

Value VLRoruvFilter::getUserInfoForRennicFormat(const VLLog& log) const {
  Value extra = cleanValue(log.attributes());
  if (isErrorLevel(log.level()) && deviceInfo_)
    extra = mergeDictionary(extra, deviceInfo_->getDeviceAndAppInfo());
  Value record = Value::object();
  record["instant"] = clean(log.instant());
  record["logType"] = VLLog::legacyLogTypeFromLogLevel(log.level());
  record["message"] = clean(log.message());
  record["moduleName"] = clean(log.source());
  record["stack"] = clean(log.stack());
  record["extra"] = std::move(extra);
  return record;
}

Value VLRoruvFilter::getUserInfoForOtlpFormat(const VLLog& log) const {
  Value defaults = Value::object();
  defaults["veltro.otel.access.visibility"] = kDefaultVisibility;
  if (log.stack() && isErrorLevel(log.level())) {
    defaults["exception.message"] = clean(log.message());
    defaults["exception.stacktrace"] = clean(*log.stack());
  }
  Value attributes = mergeDictionary(defaults, cleanValue(log.attributes()));

  Value record = Value::object();
  record["timeUnixNano"] = log.timeUnixNano();
  record["observedTimeUnixNano"] = log.observedTimeUnixNano();
  record["severityNumber"] = VLOtelUtils::severityFromLogLevel(log.level());
  record["severityText"] = VLOtelUtils::severityTextFromLogLevel(log.level());
  record["body"] = {{"stringValue", clean(log.message())}};
  record["flags"] = 1;
  record["droppedAttributesCount"] = 0;
  if (log.traceId()) record["traceId"] = clean(*log.traceId());
  if (log.spanId()) record["spanId"] = clean(*log.spanId());
  record["attributes"] = VLOtelUtils::otlpAttributesFromDictionary(attributes);
  return record;
}
