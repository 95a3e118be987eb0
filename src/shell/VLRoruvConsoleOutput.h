#pragma once

#include <optional>
#include <string>

#include "platform/logging/RRVOutput.h"

// Writes every log of the pipeline to the process log, one line each: "message : stack", or
// the message alone when there is no stack. Reads both record formats. A record of an
// unexpected shape is reported ("Could not process log to console: unexpected format") and
// still gives its line, with "(null)" for a message it does not have.
class VLRoruvConsoleOutput : public roruv::RRVOutput {
 public:
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override;

  static std::optional<std::string> getMessageFromUserInfo(const platform::Value& record);
  static std::optional<std::string> getStackFromUserInfo(const platform::Value& record);
};
