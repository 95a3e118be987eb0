#include "shell/VLRoruvConsoleOutput.h"

#include "platform/foundation/Log.h"
#include "shell/VLLog.h"

using platform::Value;

namespace {

void reportUnexpectedFormat() {
  platform::log("Could not process log to console: unexpected format");
}

// The string under `key` of a legacy record.
std::optional<std::string> legacyText(const Value& record, const char* key) {
  if (!record.is_object()) {
    reportUnexpectedFormat();
    return std::nullopt;
  }
  auto it = record.find(key);
  if (it == record.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    reportUnexpectedFormat();
    return std::nullopt;
  }
  return it->get<std::string>();
}

}  // namespace

std::optional<std::string> VLRoruvConsoleOutput::getMessageFromUserInfo(const Value& record) {
  if (record.is_object()) {
    auto body = record.find("body");
    if (body != record.end()) {
      if (body->is_object()) {
        auto text = body->find("stringValue");
        if (text != body->end() && text->is_string()) return text->get<std::string>();
        if (text != body->end()) reportUnexpectedFormat();
      } else {
        reportUnexpectedFormat();
      }
    }
  } else {
    reportUnexpectedFormat();
  }
  return legacyText(record, "message");
}

std::optional<std::string> VLRoruvConsoleOutput::getStackFromUserInfo(const Value& record) {
  if (record.is_object()) {
    auto attributes = record.find("attributes");
    if (attributes != record.end() && attributes->is_array()) {
      for (const auto& entry : *attributes) {
        if (!entry.is_object()) continue;
        auto key = entry.find("key");
        if (key == entry.end() || *key != "exception.stacktrace") continue;
        auto value = entry.find("value");
        if (value != entry.end() && value->is_object()) {
          auto text = value->find("stringValue");
          if (text != value->end() && text->is_string()) return text->get<std::string>();
        }
        reportUnexpectedFormat();
        break;
      }
    } else if (attributes != record.end() && !attributes->is_array()) {
      reportUnexpectedFormat();
    }
  } else {
    reportUnexpectedFormat();
  }
  return legacyText(record, "stack");
}

void VLRoruvConsoleOutput::emitLog(const std::shared_ptr<roruv::RRVLog>& log) {
  const Value& record = log->userInfo();
  std::string message = getMessageFromUserInfo(record).value_or("(null)");
  auto stack = getStackFromUserInfo(record);
  std::string line = stack && !stack->empty() ? message + " : " + *stack : std::move(message);
  platform::log(VLTruncatedText(std::move(line), kMostLineBytes));
}
