#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/logging/RRVLogger.h"
#include "shell/VLApplicationInfo.h"
#include "shell/VLDeviceInfo.h"
#include "shell/VLLoggerEngine.h"

// The logger's engine: every log becomes a VLLog posted to a logging pipeline with one filter
// and two outputs, the console for every log and a remote output for info and above (the
// OTLP one when the application, environment and tenant keys are all given, else the
// platform server's). Logs of levels info to fatal carry the server tag, the others the
// catch-all tag, which only the filter and the console take. Error and fatal logs are posted
// as urgent, so that a flood of lesser logs cannot push them out of the pipeline's queue.
//
// Without host name, application path, application information or device information there
// is no pipeline at all and every log is dropped, the console's included.
class VLRoruvLogger final : public VLLoggerEngine {
 public:
  using Text = std::optional<std::string>;

  static constexpr const char* kCatchAllTag = "vllogger.**";
  static constexpr const char* kFilterClass = "VLRoruvFilter";
  static constexpr const char* kConsoleOutputClass = "VLRoruvConsoleOutput";
  static constexpr const char* kOtlpOutputClass = "VLRoruvOtlpOutput";
  static constexpr const char* kServerOutputClass = "VLRoruvServerOutput";

  // `roruvLogger`, when given, takes the place of the pipeline the engine would build.
  VLRoruvLogger(const Text& hostname, const Text& applicationUrl, const Text& applicationKey,
                const Text& environmentKey, const Text& tenantKey, const Text& userAgent,
                const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo,
                const std::shared_ptr<VLDeviceInfo>& deviceInfo,
                std::shared_ptr<roruv::RRVLogger> roruvLogger = nullptr);

  // The pipeline's configuration; none when one of the four required values is missing.
  static std::optional<roruv::RRVLoggerConfiguration> defaultConfiguration(
      const Text& hostname, const Text& applicationUrl, const Text& applicationKey,
      const Text& environmentKey, const Text& tenantKey, const Text& userAgent,
      const std::shared_ptr<VLApplicationInfoProtocol>& applicationInfo,
      const std::shared_ptr<VLDeviceInfo>& deviceInfo);

  // "vllogger.server.<key>"; the key is the stable hash of "<host name>/<application path>".
  static std::string calculateServerTag(const std::string& hostname,
                                        const std::string& applicationUrl);
  static std::string keyForHostname(const std::string& hostname, const std::string& application);

  // Makes the filter and the three outputs known to the pipeline by their class names.
  static void registerPipelineClasses();

  void processLog(const std::string& message, const std::string& module, const Text& stack,
                  std::int64_t level, const platform::Value& extra, const Text& instant) override;
  void processLog(const Text& instant, const std::string& message, const std::string& source,
                  std::int64_t level, const platform::Value& attributes, const Text& stack,
                  const Text& traceId, const Text& spanId) override;

  // As processLog, for a record that must not be lost (an imported crash record): `taken`
  // hears whether the pipeline took it, and false at once when there is no pipeline.
  void processKeptLog(const Text& instant, const std::string& message, const std::string& source,
                      std::int64_t level, const Text& stack, roruv::RRVLogger::Taken taken);

  const std::shared_ptr<roruv::RRVLogger>& roruvLogger() const { return roruvLogger_; }
  const Text& serverTag() const { return serverTag_; }

 private:
  std::shared_ptr<roruv::RRVLogger> roruvLogger_;
  Text serverTag_;
};
