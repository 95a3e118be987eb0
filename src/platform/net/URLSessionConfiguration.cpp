#include "platform/net/URLSessionConfiguration.h"

#include "platform/foundation/Log.h"

namespace platform {
namespace {
// A refused field name may hold the very bytes that made it unsafe; they stay out of the log.
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}
}  // namespace

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
  URLSessionConfiguration configuration;
  configuration.cookieStorage_ = HTTPCookieStorage::sharedHTTPCookieStorage();
  return configuration;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration configuration;
  configuration.cookieStorage_ = HTTPCookieStorage::makeEphemeral();
  return configuration;
}

bool URLSessionConfiguration::setHTTPAdditionalHeaders(HTTPHeaders headers) {
  bool allValid = true;
  HTTPHeaders kept;
  kept.reserve(headers.size());
  for (auto& [name, value] : headers) {
    if (!isValidHTTPHeaderField(name, value)) {
      log("URLSessionConfiguration: refused additional header field \"" + printable(name) +
          "\" (not a valid header field)");
      allValid = false;
      continue;
    }
    kept.emplace_back(std::move(name), std::move(value));
  }
  additionalHeaders_ = std::move(kept);
  return allValid;
}

}  // namespace platform
