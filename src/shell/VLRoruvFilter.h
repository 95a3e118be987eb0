#pragma once

#include <memory>

#include "platform/logging/RRVFilter.h"
#include "shell/VLDeviceInfo.h"
#include "shell/VLLog.h"

// Turns each VLLog into the record its outputs store and send: the legacy record of the
// platform server, or the OTLP log record. Every text of a record is valid UTF-8 (bad bytes
// become U+FFFD), so one bad log can never stop the chunk it travels in.
//
// Settings: "kDeviceInfo" (std::shared_ptr<VLDeviceInfo>) and "kPlatformVersion" (a boolean
// or number: true for OTLP).
class VLRoruvFilter : public roruv::RRVFilter {
 public:
  static constexpr const char* kDeviceInfoKey = "kDeviceInfo";
  static constexpr const char* kPlatformVersionKey = "kPlatformVersion";

  void configure(const roruv::RRVSettings& settings) override;
  roruv::RRVLogs logsWithObject(const std::shared_ptr<const platform::Object>& object,
                                const std::string& tag, bool& captured) override;

  // "instant", "logType", "message", "moduleName", "stack", "extra".
  platform::Value getUserInfoForRennicFormat(const VLLog& log) const;
  platform::Value getUserInfoForOtlpFormat(const VLLog& log) const;

  const std::shared_ptr<VLDeviceInfo>& deviceInfo() const { return deviceInfo_; }
  bool useOtlp() const { return useOtlp_; }

 private:
  std::shared_ptr<VLDeviceInfo> deviceInfo_;
  bool useOtlp_ = false;
};
