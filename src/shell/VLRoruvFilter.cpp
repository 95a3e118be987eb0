#include "shell/VLRoruvFilter.h"

#include <cmath>

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
  // The caller's attributes win on a clash, but only with a value of the kind the record's
  // reader expects under that name: text for the exception's message and stack trace, a whole
  // number for the visibility. Any other is left out and counted.
  Value own = cleanValue(log.attributes());
  std::int64_t dropped = log.droppedAttributesCount();
  auto expect = [&](const char* key, bool (*fits)(const Value&)) {
    auto it = own.find(key);
    if (it == own.end() || fits(*it)) return;
    own.erase(it);
    ++dropped;
  };
  expect("exception.message", [](const Value& v) { return v.is_string(); });
  expect("exception.stacktrace", [](const Value& v) { return v.is_string(); });
  expect("veltro.otel.access.visibility", [](const Value& v) {
    return v.is_number_integer() ||
           (v.is_number_float() && std::isfinite(v.get<double>()) &&
            std::fmod(v.get<double>(), 1.0) == 0 && std::fabs(v.get<double>()) < 9.2e18);
  });
  Value attributes = mergeDictionary(defaults, own);

  Value record = Value::object();
  record["timeUnixNano"] = log.timeUnixNano();
  record["observedTimeUnixNano"] = log.observedTimeUnixNano();
  record["severityNumber"] = VLOtelUtils::severityFromLogLevel(log.level());
  record["severityText"] = VLOtelUtils::severityTextFromLogLevel(log.level());
  record["body"] = {{"stringValue", clean(log.message())}};
  record["flags"] = 1;
  record["droppedAttributesCount"] = dropped;
  // Only valid ids are ever kept in a log (VLValidTraceId, VLValidSpanId).
  if (log.traceId()) record["traceId"] = *log.traceId();
  if (log.spanId()) record["spanId"] = *log.spanId();
  record["attributes"] = VLOtelUtils::otlpAttributesFromDictionary(attributes);
  return record;
}
