#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRPlugin.h"
#include "platform/net/URLProtocol.h"

// Keeps the process's ordered list of registered URL-protocol classes, with the loader
// protocol ("VLHarborLoaderURLProtocol", recognised by its class name) always in front. `load`
// replaces the platform's "registerClass:" and "unregisterClass:" of "NSURLProtocol" (through
// VLSwizzle) with wrappers that keep the list and re-register the whole list after every
// change, so the platform consults the classes in list order. The list also feeds every
// session configuration of VLHTTPFactory.
//
// A registration is one atomic step: the list changes and the platform's registration is
// rebuilt in one platform batch, so other threads never see a partial order (a request in
// between never bypasses the loader) and concurrent registrations never interleave. The batch
// is always entered before the list's own lock, also by callers that batch registrations of
// their own. A class the platform refuses does not stop the classes after it from being
// registered; the answer is then false.
class VLProtocolManagerPlugin : public HBRPlugin {
 public:
  static constexpr const char* kLoaderProtocolClassName = "VLHarborLoaderURLProtocol";

  std::string className() const override { return "VLProtocolManagerPlugin"; }

  // The class-load step: installs the wrappers once for the life of the process and makes the
  // plugin class known by its name. The shell calls it at start, before anything registers a
  // URL protocol; later calls do nothing.
  static void load();

  // A copy of the list, in the order the platform consults the classes; empty before the
  // first registration.
  static std::vector<platform::URLProtocolClassRef> protocolClasses();

  // Gives the session factory the web view's application name for the user agent (whatever it
  // is, absent included) and, when the device has one, its identifier for vendor.
  void pluginInitialize() override;

  // The per-installation device identifier stored under "HBRUUID" (the device object's one
  // rule, shared with the device information and the device plugin).
  static std::string uniqueAppInstanceIdentifier();

  // The wrappers' work, given the platform's own (displaced) operations. `load` installs
  // wrappers that call these with what they displaced; tests call them with a stand-in.
  struct PlatformRegistration {
    std::function<bool(const platform::ClassRef&)> registerClass;
    std::function<void(const platform::ClassRef&)> unregisterClass;
  };
  static bool registerClass(const platform::ClassRef& protocolClass,
                            const PlatformRegistration& platform);
  static void unregisterClass(const platform::ClassRef& protocolClass,
                              const PlatformRegistration& platform);

  // Forgets the list (tests only; the platform's registration is left as it is).
  static void resetForTesting();
};
