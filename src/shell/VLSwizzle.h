#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>

// Method replacement on the shell's own table of replaceable methods, in place of the
// platform's run-time method exchange. A class is known by name with its superclass; each of
// its replaceable methods (instance or class methods, named by selector) holds an
// implementation, a std::function of one fixed signature stored in a std::any. Methods of
// platform classes are backed by the platform's hooks, so replacing them changes what the
// platform does (for example "registerClass:" and "unregisterClass:" of "NSURLProtocol").
//
// Misuse that the platform would assert on (a missing key, a selector the class lacks, an
// implementation of the wrong signature) is logged and refused; nothing is replaced then.

enum VLSwizzleMode : unsigned {
  VLSwizzleModeAlways = 0,              // replace every time
  VLSwizzleModeOncePerClassAndKey = 1,  // at most once per class and key
  VLSwizzleModeOncePerClassHierarchyAndKey =
      2,  // at most once per key along a class and its superclasses
};

// What a replacement knows about the method it replaces.
class VLSwizzleInfo {
 public:
  VLSwizzleInfo(std::string selector, std::function<std::any()> impProviderBlock)
      : selector_(std::move(selector)), impProviderBlock_(std::move(impProviderBlock)) {}

  const std::string& selector() const { return selector_; }
  // The implementation to call for the behaviour that was replaced: the one the replacement
  // displaced, or, when the class had only inherited the method, its superclass's
  // implementation at the moment of the call. Empty when there is none.
  std::any getOriginalImplementation() const;
  template <typename Signature>
  std::function<Signature> originalImplementation() const {
    std::any implementation = getOriginalImplementation();
    if (auto* function = std::any_cast<std::function<Signature>>(&implementation)) return *function;
    return {};
  }

 private:
  std::string selector_;
  std::function<std::any()> impProviderBlock_;
};

// Takes the info and answers the new implementation: a std::function of the method's own
// signature, in a std::any.
using VLSwizzleImpFactoryBlock = std::function<std::any(const std::shared_ptr<VLSwizzleInfo>&)>;

class VLSwizzle {
 public:
  // Replaces the instance method `selector` of `className` (its own or inherited) with what
  // the factory makes. A key is required unless the mode is "always"; with a key, mode 1
  // refuses a class already changed under it and mode 2 also a class whose superclass was.
  // Answers whether the method was replaced.
  static bool swizzleInstanceMethod(const std::string& selector, const std::string& className,
                                    const VLSwizzleImpFactoryBlock& factory, VLSwizzleMode mode,
                                    const void* key);
  // The same for a class method, always, without a key.
  static void swizzleClassMethod(const std::string& selector, const std::string& className,
                                 const VLSwizzleImpFactoryBlock& factory);

  // The table. Declaring a class again changes nothing; declaring a method again replaces it.
  static void declareClass(const std::string& className, const std::string& superclassName = "");
  template <typename Signature>
  static void declareMethod(const std::string& className, const std::string& selector,
                            bool isClassMethod, std::function<Signature> implementation) {
    declareStoredMethod(className, selector, isClassMethod, std::any(std::move(implementation)),
                        std::type_index(typeid(std::function<Signature>)));
  }
  // A method whose implementation lives elsewhere (a platform hook): read and written through
  // the given functions.
  static void declareBackedMethod(const std::string& className, const std::string& selector,
                                  bool isClassMethod, std::type_index type,
                                  std::function<std::any()> read,
                                  std::function<void(const std::any&)> write);
  // The current implementation of a method, the class's own or inherited; empty when the
  // class has no such method or it has another signature.
  template <typename Signature>
  static std::function<Signature> implementation(const std::string& className,
                                                 const std::string& selector, bool isClassMethod) {
    std::any found = implementationOf(className, selector, isClassMethod);
    if (auto* function = std::any_cast<std::function<Signature>>(&found)) return *function;
    return {};
  }

 private:
  static void declareStoredMethod(const std::string& className, const std::string& selector,
                                  bool isClassMethod, std::any implementation,
                                  std::type_index type);
  static std::any implementationOf(const std::string& className, const std::string& selector,
                                   bool isClassMethod);
  static bool replace(const std::string& selector, const std::string& className, bool isClassMethod,
                      const VLSwizzleImpFactoryBlock& factory, VLSwizzleMode mode, const void* key);
};
