#include "shell/VLSwizzle.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/foundation/Log.h"
#include "platform/net/URLProtocol.h"

namespace {

struct Method {
  std::type_index type;
  std::function<std::any()> read;
  std::function<void(const std::any&)> write;
};

struct ClassEntry {
  std::string superclass;
  std::map<std::string, Method> instanceMethods;
  std::map<std::string, Method> classMethods;

  std::map<std::string, Method>& methods(bool isClassMethod) {
    return isClassMethod ? classMethods : instanceMethods;
  }
};

Method storedMethod(std::any implementation, std::type_index type) {
  auto cell = std::make_shared<std::any>(std::move(implementation));
  return Method{type, [cell] { return *cell; }, [cell](const std::any& value) { *cell = value; }};
}

// The platform classes whose methods the shell may replace. Their implementations live in the
// platform's hooks, so a replacement here is a replacement there.
void declarePlatformClasses(std::map<std::string, ClassEntry>& classes) {
  using Register = std::function<bool(const platform::ClassRef&)>;
  using Unregister = std::function<void(const platform::ClassRef&)>;
  classes["NSObject"];
  ClassEntry& urlProtocol = classes["NSURLProtocol"];
  urlProtocol.superclass = "NSObject";
  urlProtocol.classMethods.emplace(
      "registerClass:",
      Method{std::type_index(typeid(Register)),
             [] { return std::any(platform::URLProtocol::registerClassImplementation()); },
             [](const std::any& value) {
               platform::URLProtocol::exchangeRegisterClassImplementation(
                   std::any_cast<Register>(value));
             }});
  urlProtocol.classMethods.emplace(
      "unregisterClass:",
      Method{std::type_index(typeid(Unregister)),
             [] { return std::any(platform::URLProtocol::unregisterClassImplementation()); },
             [](const std::any& value) {
               platform::URLProtocol::exchangeUnregisterClassImplementation(
                   std::any_cast<Unregister>(value));
             }});
}

struct Table {
  // Serialises replacements, from the first check to the last bookkeeping.
  std::mutex replaceMutex;
  // Guards the classes and the implementations, which may be read while a replacement is
  // being installed.
  std::mutex tableMutex;
  std::map<std::string, ClassEntry> classes;
  std::map<const void*, std::set<std::string>> changedByKey;

  Table() { declarePlatformClasses(classes); }

  // The method and the name of the class that has it (the class itself or a superclass).
  std::pair<Method*, std::string> find(const std::string& className, const std::string& selector,
                                       bool isClassMethod) {
    std::string current = className;
    while (!current.empty()) {
      auto entry = classes.find(current);
      if (entry == classes.end()) break;
      auto& methods = entry->second.methods(isClassMethod);
      if (auto method = methods.find(selector); method != methods.end())
        return {&method->second, current};
      current = entry->second.superclass;
    }
    return {nullptr, ""};
  }

  std::string superclassOf(const std::string& className) {
    auto entry = classes.find(className);
    return entry == classes.end() ? std::string() : entry->second.superclass;
  }
};

Table& table() {
  // Never destroyed: replaced methods may be called while static objects are torn down.
  static Table* shared = new Table();
  return *shared;
}

}  // namespace

std::any VLSwizzleInfo::getOriginalImplementation() const {
  if (!impProviderBlock_) {
    platform::log("VLSwizzle: no provider of the original implementation of " + selector_);
    return {};
  }
  return impProviderBlock_();
}

void VLSwizzle::declareClass(const std::string& className, const std::string& superclassName) {
  Table& t = table();
  std::lock_guard lock(t.tableMutex);
  auto [entry, made] = t.classes.try_emplace(className);
  if (made) entry->second.superclass = superclassName;
}

void VLSwizzle::declareStoredMethod(const std::string& className, const std::string& selector,
                                    bool isClassMethod, std::any implementation,
                                    std::type_index type) {
  Table& t = table();
  std::lock_guard lock(t.tableMutex);
  t.classes[className]
      .methods(isClassMethod)
      .insert_or_assign(selector, storedMethod(std::move(implementation), type));
}

void VLSwizzle::declareBackedMethod(const std::string& className, const std::string& selector,
                                    bool isClassMethod, std::type_index type,
                                    std::function<std::any()> read,
                                    std::function<void(const std::any&)> write) {
  Table& t = table();
  std::lock_guard lock(t.tableMutex);
  t.classes[className]
      .methods(isClassMethod)
      .insert_or_assign(selector, Method{type, std::move(read), std::move(write)});
}

std::any VLSwizzle::implementationOf(const std::string& className, const std::string& selector,
                                     bool isClassMethod) {
  Table& t = table();
  std::lock_guard lock(t.tableMutex);
  auto [method, owner] = t.find(className, selector, isClassMethod);
  return method ? method->read() : std::any();
}

bool VLSwizzle::swizzleInstanceMethod(const std::string& selector, const std::string& className,
                                      const VLSwizzleImpFactoryBlock& factory, VLSwizzleMode mode,
                                      const void* key) {
  return replace(selector, className, false, factory, mode, key);
}

void VLSwizzle::swizzleClassMethod(const std::string& selector, const std::string& className,
                                   const VLSwizzleImpFactoryBlock& factory) {
  replace(selector, className, true, factory, VLSwizzleModeAlways, nullptr);
}

bool VLSwizzle::replace(const std::string& selector, const std::string& className,
                        bool isClassMethod, const VLSwizzleImpFactoryBlock& factory,
                        VLSwizzleMode mode, const void* key) {
  Table& t = table();
  std::lock_guard replacing(t.replaceMutex);
  if (mode != VLSwizzleModeAlways && !key) {
    platform::log("VLSwizzle: Key may not be NULL if mode is not VLSwizzleModeAlways.");
    return false;
  }

  std::type_index type = typeid(void);
  bool ownMethod = false;
  std::string superclass;
  {
    std::lock_guard lock(t.tableMutex);
    if (key) {
      const std::set<std::string>& changed = t.changedByKey[key];
      if (mode == VLSwizzleModeOncePerClassAndKey && changed.count(className)) return false;
      if (mode == VLSwizzleModeOncePerClassHierarchyAndKey)
        for (std::string current = className; !current.empty(); current = t.superclassOf(current))
          if (changed.count(current)) return false;
    }
    auto [method, owner] = t.find(className, selector, isClassMethod);
    if (!method) {
      platform::log(platform::stringf("VLSwizzle: Selector %s not found in %s methods of class %s.",
                                      selector.c_str(), isClassMethod ? "class" : "instance",
                                      className.c_str()));
      return false;
    }
    type = method->type;
    ownMethod = owner == className;
    superclass = t.superclassOf(className);
  }

  // What the new implementation displaces, filled in when it is installed. A class that only
  // inherited the method displaces nothing: its original behaviour is whatever its superclass
  // does at the moment of each call.
  auto displaced = std::make_shared<std::optional<std::any>>();
  auto provider = [displaced, superclass, selector, isClassMethod]() -> std::any {
    {
      std::lock_guard lock(table().tableMutex);
      if (displaced->has_value()) return **displaced;
    }
    return implementationOf(superclass, selector, isClassMethod);
  };
  auto info = std::make_shared<VLSwizzleInfo>(selector, provider);

  std::any replacement;
  try {
    replacement = factory ? factory(info) : std::any();
  } catch (const std::exception& e) {
    platform::log(std::string("VLSwizzle: the implementation factory threw: ") + e.what());
    return false;
  }
  if (!replacement.has_value() || std::type_index(replacement.type()) != type) {
    platform::log("VLSwizzle: Block returned from factory is not compatible with method type.");
    return false;
  }

  {
    std::lock_guard lock(t.tableMutex);
    auto [method, owner] = t.find(className, selector, isClassMethod);
    if (ownMethod && method && owner == className) {
      *displaced = method->read();
      method->write(replacement);
    } else {
      t.classes[className]
          .methods(isClassMethod)
          .insert_or_assign(selector, storedMethod(replacement, type));
    }
    if (key) t.changedByKey[key].insert(className);
  }
  return true;
}
