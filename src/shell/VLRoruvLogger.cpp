#include "shell/VLRoruvLogger.h"

#include "platform/foundation/StableHash.h"
#include "platform/logging/RRVBufferedOutput.h"
#include "shell/VLLog.h"
#include "shell/VLRoruvConsoleOutput.h"
#include "shell/VLRoruvFilter.h"
#include "shell/VLOTLPTagIdManager.h"
#include "shell/VLRoruvOtlpOutput.h"
#include "shell/VLRoruvServerOutput.h"

using roruv::RRVSettings;

namespace {

constexpr double kServerFlushInterval = 5;
constexpr double kServerLogLimit = 10;
constexpr double kServerMaxRetryCount = 0;

bool present(const VLRoruvLogger::Text& text) { return text && !text->empty(); }

}  // namespace

void VLRoruvLogger::registerPipelineClasses() {
  roruv::RRVFilterClassRegistry::shared().registerClassIfAbsent(
      kFilterClass, [] { return std::make_shared<VLRoruvFilter>(); });
  roruv::RRVOutputClassRegistry::shared().registerClassIfAbsent(
      kConsoleOutputClass, [] { return std::make_shared<VLRoruvConsoleOutput>(); });
  roruv::RRVOutputClassRegistry::shared().registerClassIfAbsent(
      kOtlpOutputClass, [] { return std::make_shared<VLRoruvOtlpOutput>(); });
  roruv::RRVOutputClassRegistry::shared().registerClassIfAbsent(
      kServerOutputClass, [] { return std::make_shared<VLRoruvServerOutput>(); });
}

std::string VLRoruvLogger::keyForHostname(const std::string& hostname,
                                          const std::string& application) {
  return platform::stableHashString(hostname + "/" + application);
}

std::string VLRoruvLogger::calculateServerTag(const std::string& hostname,
                                              const std::string& applicationUrl) {
  return "vllogger.server." + keyForHostname(hostname, applicationUrl);
}

std::optional<roruv::RRVLoggerConfiguration> VLRoruvLogger::defaultConfiguration(
    const Text& hostname, const Text& applicationUrl, const Text& applicationKey,
    const Text& environmentKey, const Text& tenantKey, const Text& userAgent,
    const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo,
    const std::shared_ptr<VLDeviceInfo>& deviceInfo) {
  if (!present(hostname) || !present(applicationUrl) || !applicationInfo || !deviceInfo)
    return std::nullopt;
  registerPipelineClasses();
  const bool otlp = applicationKey && environmentKey && tenantKey;
  const std::string serverTag = calculateServerTag(*hostname, *applicationUrl);

  auto configuration = roruv::RRVLoggerConfiguration::defaultConfiguration();
  configuration.filterSettings.emplace_back(
      kFilterClass, kCatchAllTag,
      RRVSettings{{VLRoruvFilter::kPlatformVersionKey, otlp},
                  {VLRoruvFilter::kDeviceInfoKey, deviceInfo}});
  configuration.outputSettings.emplace_back(kConsoleOutputClass, kCatchAllTag);
  if (otlp) {
    RRVSettings settings{
        {"kApplicationUrl", *applicationUrl}, {"kHostname", *hostname},
        {"veltro.app.key", *applicationKey},  {"veltro.env.key", *environmentKey},
        {"veltro.tenant.key", *tenantKey},    {"kApplicationInfo", applicationInfo},
        {"kDeviceInfo", deviceInfo},
        {VLRoruvOtlpOutput::kTagIdManagerKey,
         std::static_pointer_cast<VLTagIdManager>(
             VLOTLPTagIdManager::managerWithHostname(*hostname, *applicationUrl))}};
    if (userAgent) settings["kUserAgent"] = *userAgent;
    configuration.outputSettings.emplace_back(kOtlpOutputClass, serverTag, std::move(settings));
  } else {
    configuration.outputSettings.emplace_back(
        kServerOutputClass, serverTag,
        RRVSettings{{roruv::RRVBufferedOutputSettingsFlushIntervalKey, kServerFlushInterval},
                    {roruv::RRVBufferedOutputSettingsLogLimitKey, kServerLogLimit},
                    {roruv::RRVBufferedOutputSettingsMaxRetryCountKey, kServerMaxRetryCount},
                    {"Hostname", *hostname},
                    {"ApplicationUrl", *applicationUrl},
                    {"kDeviceInfo", deviceInfo}});
  }
  return configuration;
}

VLRoruvLogger::VLRoruvLogger(const Text& hostname, const Text& applicationUrl,
                             const Text& applicationKey, const Text& environmentKey,
                             const Text& tenantKey, const Text& userAgent,
                             const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo,
                             const std::shared_ptr<VLDeviceInfo>& deviceInfo,
                             std::shared_ptr<roruv::RRVLogger> roruvLogger) {
  if (!present(hostname) || !present(applicationUrl) || !applicationInfo || !deviceInfo) return;
  serverTag_ = calculateServerTag(*hostname, *applicationUrl);
  if (roruvLogger) {
    roruvLogger_ = std::move(roruvLogger);
    return;
  }
  auto configuration =
      defaultConfiguration(hostname, applicationUrl, applicationKey, environmentKey, tenantKey,
                           userAgent, applicationInfo, deviceInfo);
  roruvLogger_ = roruv::RRVLogger::initWithConfiguration(std::move(*configuration));
}

void VLRoruvLogger::processLog(const std::string& message, const std::string& module,
                               const Text& stack, std::int64_t level, const platform::Value& extra,
                               const Text& instant) {
  processLog(instant, message, module, level, extra, stack, std::nullopt, std::nullopt);
}

void VLRoruvLogger::processLog(const Text& instant, const std::string& message,
                               const std::string& source, std::int64_t level,
                               const platform::Value& attributes, const Text& stack,
                               const Text& traceId, const Text& spanId) {
  if (!roruvLogger_) return;
  auto log = std::make_shared<const VLLog>(message, source, level, attributes, stack, traceId,
                                           spanId, instant);
  const bool remote = level >= VLLogLevelInfo && level <= VLLogLevelFatal;
  const bool urgent = level == VLLogLevelError || level == VLLogLevelFatal;
  static const std::string catchAll = kCatchAllTag;
  roruvLogger_->postLog(std::move(log), remote ? *serverTag_ : catchAll,
                        urgent ? roruv::RRVLogger::Priority::Urgent
                               : roruv::RRVLogger::Priority::Ordinary);
}

void VLRoruvLogger::processKeptLog(const Text& instant, const std::string& message,
                                   const std::string& source, std::int64_t level,
                                   const Text& stack, roruv::RRVLogger::Taken taken) {
  if (!roruvLogger_) {
    if (taken) taken(false);
    return;
  }
  auto log = std::make_shared<const VLLog>(message, source, level, platform::Value::object(),
                                           stack, std::nullopt, std::nullopt, instant);
  const bool remote = level >= VLLogLevelInfo && level <= VLLogLevelFatal;
  roruvLogger_->postLog(std::move(log), remote ? *serverTag_ : std::string(kCatchAllTag),
                        roruv::RRVLogger::Priority::Urgent, std::move(taken));
}
