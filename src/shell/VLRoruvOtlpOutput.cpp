#include "shell/VLRoruvOtlpOutput.h"

#include <chrono>
#include <cmath>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/URL.h"
#include "shell/VLLog.h"
#include "shell/VLLogRequests.h"
#include "shell/VLOTLPTagIdManager.h"
#include "shell/VLOtelUtils.h"

using platform::Error;
using platform::Value;

namespace {

constexpr const char* kScopeName = "harbor-veltro-logger";
constexpr const char* kScopeVersion = "12.9.0";
constexpr const char* kMissing = "unknown";

void say(const std::string& message) { platform::log("VLRoruvOtlpOutput: " + message); }

std::string orMissing(const std::optional<std::string>& text) {
  return text && !text->empty() ? *text : kMissing;
}

// OTLP's JSON encoding writes 64-bit integers as strings of digits and non-finite doubles by
// name; a number left as it is would be cut to a double or written as null.
void toWireNumber(Value& value) {
  if (value.is_number_integer()) {
    value = value.is_number_unsigned() ? std::to_string(value.get<std::uint64_t>())
                                       : std::to_string(value.get<std::int64_t>());
  } else if (value.is_number_float()) {
    double number = value.get<double>();
    value = number < 0 ? std::to_string(static_cast<std::int64_t>(number))
                       : std::to_string(static_cast<std::uint64_t>(number));
  }
}

bool isDigits(const std::string& text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// A time field as a string of digits, or nothing when the value is not a time at all.
std::optional<Value> wireTime(const Value& value) {
  if (value.is_number() && !value.is_boolean()) {
    if (value.is_number_float() &&
        (!std::isfinite(value.get<double>()) || value.get<double>() < 0))
      return std::nullopt;
    if (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0)
      return std::nullopt;
    Value copy = value;
    toWireNumber(copy);
    return copy;
  }
  if (value.is_string() && isDigits(value.get_ref<const std::string&>())) return value;
  return std::nullopt;
}

void wireAttributes(Value& attributes) {
  if (!attributes.is_array()) return;
  for (auto& attribute : attributes) {
    if (!attribute.is_object()) continue;
    auto value = attribute.find("value");
    if (value == attribute.end() || !value->is_object()) continue;
    auto number = value->find("intValue");
    if (number != value->end() && number->is_number()) toWireNumber(*number);
    auto real = value->find("doubleValue");
    if (real != value->end() && real->is_number_float() && !std::isfinite(real->get<double>())) {
      double d = real->get<double>();
      *real = std::isnan(d) ? "NaN" : (d > 0 ? "Infinity" : "-Infinity");
    }
  }
}

}  // namespace

void VLRoruvOtlpOutput::configure(const roruv::RRVSettings& settings) {
  roruv::RRVSettings own = settings;
  own[roruv::RRVBufferedOutputSettingsFlushIntervalKey] = kFlushInterval;
  own[roruv::RRVBufferedOutputSettingsLogLimitKey] = kLogLimit;
  own[roruv::RRVBufferedOutputSettingsMaxRetryCountKey] = kMaxRetryCount;
  RRVBufferedOutput::configure(own);
  auto text = [&](const char* key) {
    return roruv::settingAs<std::string>(settings, key).value_or("");
  };
  applicationUrl_ = text("kApplicationUrl");
  hostname_ = text("kHostname");
  applicationKey_ = text("veltro.app.key");
  environmentKey_ = text("veltro.env.key");
  tenantKey_ = text("veltro.tenant.key");
  userAgent_ = roruv::settingAs<std::string>(settings, "kUserAgent");
  applicationInfo_ =
      roruv::settingAs<std::shared_ptr<VLApplicationInfoProtocol>>(settings, "kApplicationInfo")
          .value_or(nullptr);
  if (!applicationInfo_)
    applicationInfo_ = roruv::settingAs<std::shared_ptr<VLApplicationInfo>>(settings, "kApplicationInfo")
                           .value_or(nullptr);
  deviceInfo_ =
      roruv::settingAs<std::shared_ptr<VLDeviceInfo>>(settings, "kDeviceInfo").value_or(nullptr);
  tagIdManager_ =
      roruv::settingAs<std::shared_ptr<VLTagIdManager>>(settings, kTagIdManagerKey).value_or(nullptr);
  if (!tagIdManager_)
    tagIdManager_ = roruv::settingAs<std::shared_ptr<VLOTLPTagIdManager>>(settings, kTagIdManagerKey)
                        .value_or(nullptr);
}

std::string VLRoruvOtlpOutput::buildUrl() const {
  return "https://" + hostname_ + "/" + applicationUrl_ + "/v2/logs";
}

std::shared_ptr<platform::URLSession> VLRoruvOtlpOutput::urlSession() {
  std::lock_guard lock(sessionMutex_);
  if (!urlSession_) urlSession_ = VLLogRequests::makeSession();
  return urlSession_;
}

Value VLRoruvOtlpOutput::resourceAttributes() const {
  auto device = deviceInfo_;
  auto application = applicationInfo_;
  if (!application && device) application = device->applicationInfo();
  auto fromApp = [&](auto getter) -> std::optional<std::string> {
    return application ? ((*application).*getter)() : std::nullopt;
  };
  auto fromDevice = [&](auto getter) -> std::optional<std::string> {
    return device ? ((*device).*getter)() : std::nullopt;
  };
  Value list = Value::array();
  auto add = [&](const char* key, Value value) { VLOtelUtils::appendOtlpAttribute(list, key, value); };
  add("service.name", "NativeShell");
  add("service.version", orMissing(fromApp(&VLApplicationInfoProtocol::getAppVersion)) + " (" +
                             orMissing(fromApp(&VLApplicationInfoProtocol::getAppVersionNumber)) +
                             ")");
  add("http.user_agent", orMissing(userAgent_));
  add("device.id", orMissing(fromDevice(&VLDeviceInfo::getDeviceUUID)));
  add("device.model.identifier", orMissing(fromDevice(&VLDeviceInfo::getDeviceModel)));
  add("veltro.otel.access.type", 3);
  add("veltro.client.native.version",
      orMissing(fromApp(&VLApplicationInfoProtocol::getNativeShellVersion)));
  add("os.name", orMissing(fromDevice(&VLDeviceInfo::getDevicePlatform)));
  add("os.version", orMissing(fromDevice(&VLDeviceInfo::getDeviceOSVersion)));
  add("veltro.app.key", orMissing(applicationKey_));
  add("veltro.env.key", orMissing(environmentKey_));
  add("veltro.tenant.key", orMissing(tenantKey_));
  wireAttributes(list);
  return list;
}

Value VLRoruvOtlpOutput::migrateLogToLatestVersion(const Value& record) {
  Value copy = record;
  copy.erase("name");
  if (!copy.contains("observedTimeUnixNano") && copy.contains("timeUnixNano"))
    copy["observedTimeUnixNano"] = copy["timeUnixNano"];
  for (const char* key : {"timeUnixNano", "observedTimeUnixNano"}) {
    auto it = copy.find(key);
    if (it == copy.end()) continue;
    if (auto wire = wireTime(*it))
      *it = std::move(*wire);
    else
      copy.erase(it);
  }
  // Ids that a collector would refuse the whole request for are not sent.
  for (auto [key, valid] : {std::pair{"traceId", &VLValidTraceId}, {"spanId", &VLValidSpanId}}) {
    auto it = copy.find(key);
    if (it == copy.end()) continue;
    auto id = it->is_string() ? valid(it->get<std::string>()) : std::nullopt;
    if (id)
      *it = *id;
    else
      copy.erase(it);
  }
  if (auto attributes = copy.find("attributes"); attributes != copy.end()) {
    if (attributes->is_array()) {
      Value kept = Value::array();
      for (auto& attribute : *attributes) {
        auto key = attribute.is_object() ? attribute.find("key") : attribute.end();
        if (key != attribute.end() && key->is_string() && !key->get_ref<const std::string&>().empty())
          kept.push_back(std::move(attribute));
      }
      *attributes = std::move(kept);
    }
    wireAttributes(*attributes);
  }
  return copy;
}

Value VLRoruvOtlpOutput::migrateLogsToLatestVersion(const Value& records) {
  Value migrated = Value::array();
  if (!records.is_array()) return migrated;
  for (const auto& record : records)
    if (record.is_object()) migrated.push_back(migrateLogToLatestVersion(record));
  return migrated;
}

Value VLRoruvOtlpOutput::otlpPayloadFromChunk(const roruv::RRVChunk& chunk) const {
  Value records = Value::array();
  for (const auto& log : chunk.logs()) {
    if (!log || !log->userInfo().is_object()) continue;
    Value record = migrateLogToLatestVersion(log->userInfo());
    // A stored record whose time was lost is dated when the pipeline took it, not 1970.
    if (!record.contains("timeUnixNano")) {
      auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
          log->date().time_since_epoch());
      if (auto nanoseconds = VLUnixNanoFromMilliseconds(milliseconds.count())) {
        record["timeUnixNano"] = std::to_string(*nanoseconds);
        if (!record.contains("observedTimeUnixNano"))
          record["observedTimeUnixNano"] = record["timeUnixNano"];
      }
    }
    records.push_back(std::move(record));
  }
  Value scopeLogs = {{"scope", {{"name", kScopeName}, {"version", kScopeVersion}}},
                     {"logRecords", std::move(records)}};
  Value resource = {{"attributes", resourceAttributes()}, {"droppedAttributesCount", 0}};
  return {{"resourceLogs",
           Value::array({{{"resource", std::move(resource)},
                          {"scopeLogs", Value::array({std::move(scopeLogs)})}}})}};
}

void VLRoruvOtlpOutput::writeChunk(const std::shared_ptr<roruv::RRVChunk>& chunk,
                                   Completion completion) {
  writeLogs(otlpPayloadFromChunk(*chunk), kAttemptLimit, std::move(completion),
            [chunk](int status) {
              chunk->refuse(VLLogRequests::refusalMaySplit(status)
                                ? roruv::RRVChunk::Refusal::Split
                                : roruv::RRVChunk::Refusal::Drop);
            });
}

void VLRoruvOtlpOutput::writeLogs(const Value& payload, int attemptLimit, Completion completion,
                                  Refused refused) {
  auto manager = tagIdManager_;
  if (!manager) {
    say("Failed to get a Tag ID: there is no tag id manager");
    completion(false);
    return;
  }
  auto shared = std::make_shared<const Value>(payload);
  std::weak_ptr<RRVOutput> weak = weak_from_this();
  manager->getTagIdWithSuccessHandler(
      [weak, manager, shared, attemptLimit, completion, refused](const std::string& tagId,
                                                                 bool fresh) {
        auto self = std::static_pointer_cast<VLRoruvOtlpOutput>(weak.lock());
        if (!self) return completion(false);
        self->postLogs(
            *shared, tagId,
            [completion] {
              say("Logs sent with success");
              completion(true);
            },
            [weak, manager, shared, attemptLimit, completion, fresh, refused](
                bool retryable, const Error& error) {
              say("Failed to send logs: " + error.localizedDescription());
              if (!retryable) {
                auto status = error.userInfo.find(kStatusCodeKey);
                if (refused && status != error.userInfo.end() && status->is_number_integer() &&
                    VLLogRequests::isRefusal(status->get<int>()))
                  refused(status->get<int>());
                return completion(false);
              }
              manager->invalidateTagIdWithCompletionHandler(
                  [weak, shared, attemptLimit, completion, fresh, refused] {
                    auto self = std::static_pointer_cast<VLRoruvOtlpOutput>(weak.lock());
                    if (self && !fresh && attemptLimit >= 2)
                      self->writeLogs(*shared, attemptLimit - 1, completion, refused);
                    else
                      completion(false);
                  });
            });
      },
      [completion](const Error& error) {
        say("Failed to get a Tag ID: " + error.localizedDescription());
        completion(false);
      });
}

void VLRoruvOtlpOutput::postLogs(const Value& payload, const std::string& tagId,
                                 SuccessHandler success, FailureHandler failure) {
  std::string body;
  try {
    body = platform::jsonText(payload);
  } catch (const std::exception& e) {
    return failure(false, Error::make(platform::kCocoaErrorDomain, 3851, e.what()));
  }
  auto url = platform::URL::parse(buildUrl());
  if (!url)
    return failure(false, Error::make(platform::kURLErrorDomain, -1000,
                                      "The log URL is not valid: " + buildUrl()));
  platform::URLRequest request(*url);
  request.setHTTPMethod("POST");
  request.setValue("application/json", "Content-Type");
  // A tag id that cannot travel as a header field is as good as a refused one.
  if (!request.setValue(tagId, "tag-id") || !request.setValue(tagId, "api-key"))
    return failure(true, Error::make(kErrorDomain, -1,
                                     "The logging tag id cannot be sent as a header field."));
  request.setHTTPBody(std::move(body));
  VLLogRequests::dataTask(
      urlSession(), request, VLLogRequests::kMaximumLogAnswerBytes,
      [success = std::move(success), failure = std::move(failure)](
          const auto&, const std::optional<platform::URLResponse>& response,
          const std::optional<Error>& error) {
        const auto outcome = VLLogRequests::outcomeOf(response, error);
        if (outcome == VLLogRequests::Outcome::Delivered) return success();
        if (error) return failure(false, *error);
        const int status = response ? response->statusCode() : 0;
        Error refusal = Error::make(
            kErrorDomain, -1, VLLoggingLocalizedString("Request failed with error code %ld", status));
        refusal.userInfo[kStatusCodeKey] = status;
        failure(status == 401 || status == 403, refusal);
      })
      ->resume();
}

void VLRoruvOtlpOutput::truncateBufferedLogs() {
  try {
    capBuffer(kBufferCap);
  } catch (const std::exception& e) {
    say(std::string("Error on handling with log buffer: ") + e.what());
  }
}
