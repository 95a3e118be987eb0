#include "platform/net/URLProtocol.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace platform {
namespace {

using ClassList = std::vector<URLProtocolClassRef>;

bool platformRegisterClass(const ClassRef& classObject);
void platformUnregisterClass(const ClassRef& classObject);

// The platform's registration. Changes are made on a working copy under `writeMutex`; readers
// take the last published copy, so a reader never sees the middle of a change or of a batch.
struct Registry {
  std::recursive_mutex writeMutex;
  ClassList working;
  int batchDepth = 0;

  std::mutex publishedMutex;
  std::shared_ptr<const ClassList> published = std::make_shared<const ClassList>();

  // The replaceable implementations live under their own small lock, because a registration
  // may be running while a replacement is installed. They start as the platform's own.
  std::mutex hooksMutex;
  URLProtocol::RegisterClassImplementation registerImplementation = &platformRegisterClass;
  URLProtocol::UnregisterClassImplementation unregisterImplementation = &platformUnregisterClass;

  void publishLocked() {
    if (batchDepth > 0) return;
    auto copy = std::make_shared<const ClassList>(working);
    std::lock_guard lock(publishedMutex);
    published = std::move(copy);
  }
};

Registry& registry() {
  // Never destroyed: registrations may happen while static objects are torn down.
  static Registry* shared = new Registry();
  return *shared;
}

bool platformRegisterClass(const ClassRef& classObject) {
  auto protocol = std::dynamic_pointer_cast<const URLProtocolClass>(classObject);
  if (!protocol) return false;
  Registry& r = registry();
  std::lock_guard lock(r.writeMutex);
  std::erase(r.working, protocol);
  r.working.insert(r.working.begin(), protocol);
  r.publishLocked();
  return true;
}

void platformUnregisterClass(const ClassRef& classObject) {
  auto protocol = std::dynamic_pointer_cast<const URLProtocolClass>(classObject);
  if (!protocol) return;
  Registry& r = registry();
  std::lock_guard lock(r.writeMutex);
  std::erase(r.working, protocol);
  r.publishLocked();
}

}  // namespace

URLProtocol::RegisterClassImplementation URLProtocol::registerClassImplementation() {
  Registry& r = registry();
  std::lock_guard lock(r.hooksMutex);
  return r.registerImplementation;
}

URLProtocol::UnregisterClassImplementation URLProtocol::unregisterClassImplementation() {
  Registry& r = registry();
  std::lock_guard lock(r.hooksMutex);
  return r.unregisterImplementation;
}

URLProtocol::RegisterClassImplementation URLProtocol::exchangeRegisterClassImplementation(
    RegisterClassImplementation replacement) {
  Registry& r = registry();
  // An empty replacement puts the platform's own back, so the hook is never empty.
  if (!replacement) replacement = &platformRegisterClass;
  std::lock_guard lock(r.hooksMutex);
  return std::exchange(r.registerImplementation, std::move(replacement));
}

URLProtocol::UnregisterClassImplementation URLProtocol::exchangeUnregisterClassImplementation(
    UnregisterClassImplementation replacement) {
  Registry& r = registry();
  if (!replacement) replacement = &platformUnregisterClass;
  std::lock_guard lock(r.hooksMutex);
  return std::exchange(r.unregisterImplementation, std::move(replacement));
}

bool URLProtocol::registerClass(const ClassRef& protocolClass) {
  if (!protocolClass) return false;
  return registerClassImplementation()(protocolClass);
}

void URLProtocol::unregisterClass(const ClassRef& protocolClass) {
  if (!protocolClass) return;
  unregisterClassImplementation()(protocolClass);
}

std::vector<URLProtocolClassRef> URLProtocol::registeredClasses() {
  Registry& r = registry();
  std::shared_ptr<const ClassList> snapshot;
  {
    std::lock_guard lock(r.publishedMutex);
    snapshot = r.published;
  }
  return *snapshot;
}

void URLProtocol::performRegistrationBatch(const std::function<void()>& changes) {
  Registry& r = registry();
  std::lock_guard lock(r.writeMutex);
  ++r.batchDepth;
  try {
    changes();
  } catch (...) {
    --r.batchDepth;
    r.publishLocked();
    throw;
  }
  --r.batchDepth;
  r.publishLocked();
}

}  // namespace platform
