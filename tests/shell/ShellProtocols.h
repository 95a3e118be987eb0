#pragma once

#include <ostream>

#include "platform/net/URLProtocol.h"

namespace platform {
// Lets test failures name the classes instead of printing pointers.
inline void PrintTo(const URLProtocolClassRef& protocolClass, std::ostream* out) {
  *out << (protocolClass ? protocolClass->name() : "null");
}
}  // namespace platform

namespace shell_test {

// A URL protocol that takes every request and answers it with its own class name, so a test
// can tell which class the loading system asked first.
template <const char* Name>
class NamedProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = Name;
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const platform::URLRequest&) { return true; }
  void startLoading() override {
    client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, {}),
                                 platform::URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, Name);
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
};

inline constexpr char kLoaderName[] = "VLHarborLoaderURLProtocol";
inline constexpr char kAName[] = "ProtocolA";
inline constexpr char kBName[] = "ProtocolB";
inline constexpr char kCName[] = "ProtocolC";
inline constexpr char kDName[] = "ProtocolD";
inline constexpr char kEName[] = "ProtocolE";

inline platform::URLProtocolClassRef loader() {
  return platform::protocolClass<NamedProtocol<kLoaderName>>();
}
inline platform::URLProtocolClassRef protocolA() {
  return platform::protocolClass<NamedProtocol<kAName>>();
}
inline platform::URLProtocolClassRef protocolB() {
  return platform::protocolClass<NamedProtocol<kBName>>();
}
inline platform::URLProtocolClassRef protocolC() {
  return platform::protocolClass<NamedProtocol<kCName>>();
}
inline platform::URLProtocolClassRef protocolD() {
  return platform::protocolClass<NamedProtocol<kDName>>();
}
inline platform::URLProtocolClassRef protocolE() {
  return platform::protocolClass<NamedProtocol<kEName>>();
}

class NotAProtocol : public platform::ClassObject {
 public:
  std::string name() const override { return "NSString"; }
};

}  // namespace shell_test
