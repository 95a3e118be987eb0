#include "platform/net/URLRequest.h"

#include "platform/foundation/Strings.h"

namespace platform {
bool isValidHTTPHeaderField(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    bool token =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!token) return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [key, value] : headers_)
    if (equalsIgnoreCase(key, name)) return value;
  return std::nullopt;
}

bool URLRequest::setValue(std::string_view value, std::string_view field) {
  if (!isValidHTTPHeaderField(field, value)) return false;
  for (auto& [key, existing] : headers_) {
    if (equalsIgnoreCase(key, field)) {
      existing = std::string(value);
      return true;
    }
  }
  headers_.emplace_back(std::string(field), std::string(value));
  return true;
}

bool URLRequest::addValue(std::string_view value, std::string_view field) {
  if (!isValidHTTPHeaderField(field, value)) return false;
  for (auto& [key, existing] : headers_) {
    if (equalsIgnoreCase(key, field)) {
      existing += ",";
      existing += value;
      return true;
    }
  }
  headers_.emplace_back(std::string(field), std::string(value));
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
