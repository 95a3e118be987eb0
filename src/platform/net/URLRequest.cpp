#include "platform/net/URLRequest.h"

#include "platform/foundation/Strings.h"

namespace platform {

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view name) const {
  if (const std::string* value = findHeaderField(headers_, name)) return *value;
  return std::nullopt;
}

bool URLRequest::setValue(std::string_view value, std::string_view field) {
  if (!isValidHTTPHeaderField(field, value)) return false;
  if (std::string* existing = findHeaderField(headers_, field))
    existing->assign(value);
  else
    headers_.emplace_back(std::string(field), std::string(value));
  return true;
}

bool URLRequest::addValue(std::string_view value, std::string_view field) {
  if (!isValidHTTPHeaderField(field, value)) return false;
  if (std::string* existing = findHeaderField(headers_, field)) {
    *existing += ",";
    *existing += value;
  } else {
    headers_.emplace_back(std::string(field), std::string(value));
  }
  return true;
}

void URLRequest::removeHTTPHeaderField(std::string_view field) {
  std::erase_if(headers_, [&](const auto& kv) { return equalsIgnoreCase(kv.first, field); });
}

Value URLRequest::property(const std::string& key) const {
  auto it = properties_.find(key);
  return it == properties_.end() ? Value() : it->second;
}

void URLRequest::setProperty(const std::string& key, Value value) {
  properties_[key] = std::move(value);
}

void URLRequest::removeProperty(const std::string& key) { properties_.erase(key); }

}  // namespace platform
