#include "shell/VLLogRecord.h"

std::optional<VLLogRecord> VLLogRecord::initWithDictionary(const platform::Value& dictionary,
                                                           std::string& error) {
  VLLogRecord record;
  if (dictionary.is_null()) return record;
  if (!dictionary.is_object()) {
    error = "The log record must be an object.";
    return std::nullopt;
  }
  auto text = [&](const char* key, Text& into) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || it->is_null()) return true;
    if (!it->is_string()) {
      error = std::string("The log record's \"") + key + "\" must be a string.";
      return false;
    }
    into = it->get<std::string>();
    return true;
  };
  if (!text("instant", record.instant_) || !text("message", record.message_) ||
      !text("source", record.source_) || !text("stack", record.stack_) ||
      !text("traceId", record.traceId_) || !text("spanId", record.spanId_))
    return std::nullopt;
  if (auto it = dictionary.find("attributes"); it != dictionary.end() && !it->is_null()) {
    if (!it->is_object()) {
      error = "The log record's \"attributes\" must be an object.";
      return std::nullopt;
    }
    record.attributes_ = *it;
  }
  return record;
}
