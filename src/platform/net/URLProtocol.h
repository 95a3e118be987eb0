#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace platform {

// The run-time object of a class: what class registration and kind checks take where the
// platform passes a class around. A class object is one shared instance per class, so its
// identity is its address.
class ClassObject {
 public:
  virtual ~ClassObject() = default;
  virtual std::string name() const = 0;
};
using ClassRef = std::shared_ptr<const ClassObject>;

enum class URLCacheStoragePolicy { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

class URLProtocol;
class URLProtocolClass;
using URLProtocolClassRef = std::shared_ptr<const URLProtocolClass>;

// The loading system's side of a protocol instance: how the protocol answers its request.
// The calls may come from any thread; the loading system hands them on to the task in the
// order they were made. Calls after the finish or the failure, or after the loading was
// stopped, are ignored.
class URLProtocolClient {
 public:
  virtual ~URLProtocolClient() = default;
  virtual void didReceiveResponse(URLProtocol& protocol, const URLResponse& response,
                                  URLCacheStoragePolicy policy) = 0;
  // The data is the client's to keep: a protocol that is done with its body moves it in.
  virtual void didLoadData(URLProtocol& protocol, std::string data) = 0;
  virtual void didFinishLoading(URLProtocol& protocol) = 0;
  virtual void didFailWithError(URLProtocol& protocol, const Error& error) = 0;
};

// A URL protocol answers the requests its class accepts instead of the network. A subclass T
// provides the class operations as static members (`kClassName`, `canInitWithRequest`, and
// optionally `canonicalRequestForRequest` and `requestIsCacheEquivalent`, which default to
// the ones below) and the instance operations `startLoading` and `stopLoading`; its class
// object is `protocolClass<T>()`.
//
// The loading system calls `startLoading` once on the session's queue and `stopLoading` once
// when the task is cancelled or has completed.
class URLProtocol : public std::enable_shared_from_this<URLProtocol> {
 public:
  URLProtocol(URLRequest request, std::shared_ptr<URLProtocolClient> client)
      : request_(std::move(request)), client_(std::move(client)) {}
  virtual ~URLProtocol() = default;
  URLProtocol(const URLProtocol&) = delete;
  URLProtocol& operator=(const URLProtocol&) = delete;

  const URLRequest& request() const { return request_; }
  const std::shared_ptr<URLProtocolClient>& client() const { return client_; }

  virtual void startLoading() = 0;
  virtual void stopLoading() = 0;

  static URLRequest canonicalRequestForRequest(const URLRequest& request) { return request; }
  // Two requests share a cache entry when their URLs are the same text.
  static bool requestIsCacheEquivalent(const URLRequest& a, const URLRequest& b) {
    return a.url().absoluteString() == b.url().absoluteString();
  }

  // The request's property bag, as protocols use it to mark requests they have seen.
  static Value propertyForKey(const std::string& key, const URLRequest& request) {
    return request.property(key);
  }
  static void setProperty(Value value, const std::string& key, URLRequest& request) {
    request.setProperty(key, std::move(value));
  }
  static void removePropertyForKey(const std::string& key, URLRequest& request) {
    request.removeProperty(key);
  }

  // Global registration: the classes the shared session consults, the most recently
  // registered first. Registering a class again moves it to the front. A class object that is
  // not a URL protocol class is refused (false) or ignored.
  static bool registerClass(const ClassRef& protocolClass);
  static void unregisterClass(const ClassRef& protocolClass);
  // The registered classes in the order they are consulted. Readers always see a complete
  // order: the one before or the one after a change (or a whole batch of changes).
  static std::vector<URLProtocolClassRef> registeredClasses();

  // In place of method replacement: what `registerClass` and `unregisterClass` do can be
  // replaced. Each exchange installs the new implementation and answers the one it displaced,
  // which the new one calls for the platform's own behaviour. The defaults are the platform's
  // own registration; exchanging in an empty implementation restores them.
  using RegisterClassImplementation = std::function<bool(const ClassRef&)>;
  using UnregisterClassImplementation = std::function<void(const ClassRef&)>;
  static RegisterClassImplementation registerClassImplementation();
  static UnregisterClassImplementation unregisterClassImplementation();
  static RegisterClassImplementation exchangeRegisterClassImplementation(
      RegisterClassImplementation replacement);
  static UnregisterClassImplementation exchangeUnregisterClassImplementation(
      UnregisterClassImplementation replacement);

  // Runs `changes` (registrations and unregistrations made by this thread) as one change:
  // other threads see the order from before until the batch ends, and other changes wait.
  // Batches nest. A replacement implementation that keeps a lock of its own takes it inside a
  // batch, never around one: a batch may already be open when it is called.
  static void performRegistrationBatch(const std::function<void()>& changes);

 private:
  URLRequest request_;
  std::shared_ptr<URLProtocolClient> client_;
};

// The class object of a URL protocol: its class operations and how to make an instance.
class URLProtocolClass : public ClassObject {
 public:
  virtual bool canInitWithRequest(const URLRequest& request) const = 0;
  virtual URLRequest canonicalRequestForRequest(const URLRequest& request) const = 0;
  virtual bool requestIsCacheEquivalent(const URLRequest& a, const URLRequest& b) const = 0;
  virtual std::shared_ptr<URLProtocol> makeProtocol(
      URLRequest request, std::shared_ptr<URLProtocolClient> client) const = 0;
};

template <typename T>
class URLProtocolClassOf final : public URLProtocolClass {
 public:
  std::string name() const override { return T::kClassName; }
  bool canInitWithRequest(const URLRequest& request) const override {
    return T::canInitWithRequest(request);
  }
  URLRequest canonicalRequestForRequest(const URLRequest& request) const override {
    return T::canonicalRequestForRequest(request);
  }
  bool requestIsCacheEquivalent(const URLRequest& a, const URLRequest& b) const override {
    return T::requestIsCacheEquivalent(a, b);
  }
  std::shared_ptr<URLProtocol> makeProtocol(
      URLRequest request, std::shared_ptr<URLProtocolClient> client) const override {
    return std::make_shared<T>(std::move(request), std::move(client));
  }
};

// The one class object of protocol T.
template <typename T>
URLProtocolClassRef protocolClass() {
  static const URLProtocolClassRef classObject = std::make_shared<URLProtocolClassOf<T>>();
  return classObject;
}

}  // namespace platform
