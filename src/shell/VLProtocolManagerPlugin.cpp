#include "shell/VLProtocolManagerPlugin.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/ui/Device.h"
#include "platform/webkit/WebView.h"
#include "shell/VLHTTPFactory.h"
#include "shell/VLSwizzle.h"

using platform::ClassRef;
using platform::URLProtocolClassRef;

namespace {

using ProtocolList = std::vector<URLProtocolClassRef>;

// The list's lock, held only around the list itself. Every change runs inside the platform's
// registration batch, which serialises changes and the re-registrations that follow them.
std::mutex gListMutex;
std::optional<ProtocolList> gList;

// The info of the unregister wrapper, which the register wrapper needs for the platform's
// own unregistration.
std::shared_ptr<VLSwizzleInfo> gUnregisterInfo;

bool isLoader(const URLProtocolClassRef& protocolClass) {
  return protocolClass->name() == VLProtocolManagerPlugin::kLoaderProtocolClassName;
}

}  // namespace

bool VLProtocolManagerPlugin::registerClass(const ClassRef& classObject,
                                            const PlatformRegistration& platform) {
  auto protocolClass = std::dynamic_pointer_cast<const platform::URLProtocolClass>(classObject);
  if (!protocolClass) return false;

  // The platform's registration is rebuilt from the whole list in one batch: other threads see
  // the old order or the new one, never an empty or partial one. The batch is entered before
  // the list lock, always: a caller that batches its own registrations already holds the
  // batch when it comes through here.
  bool allRegistered = true;
  platform::URLProtocol::performRegistrationBatch([&] {
    ProtocolList previous;
    ProtocolList snapshot;
    {
      std::lock_guard lock(gListMutex);
      if (!gList) gList.emplace();
      ProtocolList& list = *gList;
      previous = list;
      if (isLoader(protocolClass)) {
        // Behind the loader entries already at the head, or first when there are none.
        auto position = std::find_if(list.begin(), list.end(),
                                     [](const auto& entry) { return !isLoader(entry); });
        bool holdsLoader = std::any_of(list.begin(), list.end(), isLoader);
        list.insert(holdsLoader ? position : list.begin(), protocolClass);
      } else {
        list.push_back(protocolClass);
      }
      snapshot = list;
    }

    ProtocolList removed;
    for (const auto& entry : previous) {
      if (std::find(removed.begin(), removed.end(), entry) != removed.end()) continue;
      removed.push_back(entry);
      if (platform.unregisterClass) platform.unregisterClass(entry);
    }
    // The last class is registered first, so that the first is consulted first.
    for (auto entry = snapshot.rbegin(); entry != snapshot.rend(); ++entry) {
      if (!platform.registerClass || !platform.registerClass(*entry)) {
        platform::log("VLProtocolManagerPlugin: the platform refused " + (*entry)->name());
        allRegistered = false;
      }
    }
  });
  return allRegistered;
}

void VLProtocolManagerPlugin::unregisterClass(const ClassRef& classObject,
                                              const PlatformRegistration& platform) {
  auto protocolClass = std::dynamic_pointer_cast<const platform::URLProtocolClass>(classObject);
  if (!protocolClass) return;
  // As a registration: inside the batch, the list lock only around the list.
  platform::URLProtocol::performRegistrationBatch([&] {
    {
      std::lock_guard lock(gListMutex);
      if (!gList) return;
      std::erase(*gList, protocolClass);
    }
    if (platform.unregisterClass) platform.unregisterClass(protocolClass);
  });
}

void VLProtocolManagerPlugin::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Loading a class makes it known by name, so "config.xml" can name the plugin.
    HBRRegisterPluginClass<VLProtocolManagerPlugin>("VLProtocolManagerPlugin");
    using Register = std::function<bool(const ClassRef&)>;
    using Unregister = std::function<void(const ClassRef&)>;
    VLSwizzle::swizzleClassMethod(
        "unregisterClass:", "NSURLProtocol", [](const std::shared_ptr<VLSwizzleInfo>& info) {
          gUnregisterInfo = info;
          return std::any(Unregister([info](const ClassRef& classObject) {
            unregisterClass(classObject,
                            {nullptr, info->originalImplementation<void(const ClassRef&)>()});
          }));
        });
    VLSwizzle::swizzleClassMethod(
        "registerClass:", "NSURLProtocol", [](const std::shared_ptr<VLSwizzleInfo>& info) {
          return std::any(Register([info](const ClassRef& classObject) {
            PlatformRegistration platform{
                info->originalImplementation<bool(const ClassRef&)>(),
                gUnregisterInfo ? gUnregisterInfo->originalImplementation<void(const ClassRef&)>()
                                : Unregister()};
            return registerClass(classObject, platform);
          }));
        });
  });
}

std::vector<URLProtocolClassRef> VLProtocolManagerPlugin::protocolClasses() {
  std::lock_guard lock(gListMutex);
  return gList ? *gList : ProtocolList();
}

void VLProtocolManagerPlugin::pluginInitialize() {
  std::optional<std::string> applicationName;
  if (auto view = webView()) applicationName = view->configuration().applicationNameForUserAgent;
  VLHTTPFactory::setUserAgent(applicationName);
  if (auto identifier = platform::ui::Device::identifierForVendor()) VLHTTPFactory::setDeviceUUID(*identifier);
}

std::string VLProtocolManagerPlugin::uniqueAppInstanceIdentifier() {
  return platform::ui::Device::installationIdentifier();
}

void VLProtocolManagerPlugin::resetForTesting() {
  std::lock_guard lock(gListMutex);
  gList.reset();
}
