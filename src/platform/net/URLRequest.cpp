#include "platform/net/URLRequest.h"

#include "platform/foundation/Strings.h"

namespace platform {
namespace {
bool hasLineBreak(std::string_view text) {
  return text.find('\r') != std::string_view::npos || text.find('\n') != std::string_view::npos;
}
}  // namespace

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [key, value] : headers_)
    if (equalsIgnoreCase(key, name)) return value;
  return std::nullopt;
}

bool URLRequest::setValue(std::string_view value, std::string_view field) {
  if (field.empty() || hasLineBreak(field) || hasLineBreak(value)) return false;
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
  if (field.empty() || hasLineBreak(field) || hasLineBreak(value)) return false;
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

void URLRequest::setProperty(const std::string& key, Value value) { properties_[key] = std::move(value); }

void URLRequest::removeProperty(const std::string& key) { properties_.erase(key); }

}  // namespace platform
