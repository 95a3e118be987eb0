#pragma once

#include <ostream>

#include "platform/net/URLProtocol.h"
#include "shell/VLProtocolManagerPlugin.h"

namespace platform {
// Lets test failures name the classes instead of printing pointers.
inline void PrintTo(const URLProtocolClassRef& protocolClass, std::ostream* out) {
  *out << (protocolClass ? protocolClass->name() : "null");
}
}  // namespace platform

namespace shell_test {

// A URL protocol that takes every request and answers it with its own class name, so a test
// can tell which class the loading system asked first. `Name::value` is the class name.
template <typename Name>
class NamedProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = Name::value;
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const platform::URLRequest&) { return true; }
  void startLoading() override {
    client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, {}),
                                 platform::URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, kClassName);
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
};

// The plugin recognises the loader protocol by its class name alone.
struct LoaderName {
  static constexpr const char* value = VLProtocolManagerPlugin::kLoaderProtocolClassName;
};
struct AName {
  static constexpr const char* value = "ProtocolA";
};
struct BName {
  static constexpr const char* value = "ProtocolB";
};
struct CName {
  static constexpr const char* value = "ProtocolC";
};
struct DName {
  static constexpr const char* value = "ProtocolD";
};
struct EName {
  static constexpr const char* value = "ProtocolE";
};

inline platform::URLProtocolClassRef loader() {
  return platform::protocolClass<NamedProtocol<LoaderName>>();
}
inline platform::URLProtocolClassRef protocolA() {
  return platform::protocolClass<NamedProtocol<AName>>();
}
inline platform::URLProtocolClassRef protocolB() {
  return platform::protocolClass<NamedProtocol<BName>>();
}
inline platform::URLProtocolClassRef protocolC() {
  return platform::protocolClass<NamedProtocol<CName>>();
}
inline platform::URLProtocolClassRef protocolD() {
  return platform::protocolClass<NamedProtocol<DName>>();
}
inline platform::URLProtocolClassRef protocolE() {
  return platform::protocolClass<NamedProtocol<EName>>();
}

class NotAProtocol : public platform::ClassObject {
 public:
  std::string name() const override { return "NSString"; }
};

}  // namespace shell_test
