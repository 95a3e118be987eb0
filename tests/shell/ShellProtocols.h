#pragma once

#include <algorithm>
#include <ostream>
#include <string_view>

#include "platform/net/URLProtocol.h"
#include "shell/VLProtocolManagerPlugin.h"

namespace platform {
// Lets test failures name the classes instead of printing pointers.
inline void PrintTo(const URLProtocolClassRef& protocolClass, std::ostream* out) {
  *out << (protocolClass ? protocolClass->name() : "null");
}
}  // namespace platform

namespace shell_test {

// A class name usable as a template argument.
template <size_t N>
struct Name {
  constexpr Name(const char (&text)[N]) { std::copy_n(text, N, value); }
  char value[N];
};

// A URL protocol that takes every request and answers it with its own class name, so a test
// can tell which class the loading system asked first.
template <Name name>
class NamedProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = name.value;
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
static_assert(std::string_view(VLProtocolManagerPlugin::kLoaderProtocolClassName) ==
              "VLHarborLoaderURLProtocol");

template <Name name>
platform::URLProtocolClassRef named() {
  return platform::protocolClass<NamedProtocol<name>>();
}
inline constexpr auto loader = &named<"VLHarborLoaderURLProtocol">;
inline constexpr auto protocolA = &named<"ProtocolA">;
inline constexpr auto protocolB = &named<"ProtocolB">;
inline constexpr auto protocolC = &named<"ProtocolC">;
inline constexpr auto protocolD = &named<"ProtocolD">;
inline constexpr auto protocolE = &named<"ProtocolE">;

class NotAProtocol : public platform::ClassObject {
 public:
  std::string name() const override { return "NSString"; }
};

}  // namespace shell_test
