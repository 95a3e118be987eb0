#include "platform/net/HTTPHeaders.h"

#include "platform/foundation/Strings.h"

namespace platform {

const std::string* findHeaderField(const HTTPHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers)
    if (equalsIgnoreCase(key, name)) return &value;
  return nullptr;
}

std::string* findHeaderField(HTTPHeaders& headers, std::string_view name) {
  return const_cast<std::string*>(findHeaderField(std::as_const(headers), name));
}

bool isHTTPToken(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    bool token =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!token) return false;
  }
  return true;
}

bool isValidHTTPHeaderField(std::string_view name, std::string_view value) {
  if (!isHTTPToken(name)) return false;
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace platform
