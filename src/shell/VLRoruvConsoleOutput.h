#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/logging/RRVOutput.h"

// Writes every log of the pipeline to the process log, one line each: "message : stack", or
// the message alone when there is no stack. Reads both record formats. A record of an
// unexpected shape is reported ("Could not process log to console: unexpected format") and
// still gives its line, with "(null)" for a message it does not have. A line longer than
// kMostLineBytes is cut with a visible mark: a console that is read slowly must not hold the
// pipeline long for one log.
class VLRoruvConsoleOutput : public roruv::RRVOutput {
 public:
  static constexpr std::size_t kMostLineBytes = 8 * 1024;

  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override;

  static std::optional<std::string> getMessageFromUserInfo(const platform::Value& record);
  static std::optional<std::string> getStackFromUserInfo(const platform::Value& record);
};
