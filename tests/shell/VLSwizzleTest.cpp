#include <gtest/gtest.h>

#include "shell/VLSwizzle.h"
#include "support/TestSupport.h"

namespace {

using Describe = std::function<std::string(int)>;

VLSwizzleImpFactoryBlock prefixing(const std::string& prefix) {
  return [prefix](const std::shared_ptr<VLSwizzleInfo>& info) {
    return std::any(Describe([prefix, info](int n) {
      return prefix + info->originalImplementation<std::string(int)>()(n);
    }));
  };
}

std::string describe(const std::string& className, int n) {
  auto implementation = VLSwizzle::implementation<std::string(int)>(className, "describe:", false);
  return implementation ? implementation(n) : "none";
}

}  // namespace

TEST(VLSwizzle, ReplacesOncePerKeyAlongAClassAndItsSuperclassesAndRefusesMisuse) {
  VLSwizzle::declareClass("SwizzleBase");
  VLSwizzle::declareClass("SwizzleDerived", "SwizzleBase");
  VLSwizzle::declareMethod<std::string(int)>("SwizzleBase", "describe:", false,
                                             [](int n) { return "base " + std::to_string(n); });
  static const int key = 0;
  static const int otherKey = 0;

  EXPECT_TRUE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleBase", prefixing("once "),
                                               VLSwizzleModeOncePerClassAndKey, &key));
  EXPECT_FALSE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleBase", prefixing("twice "),
                                                VLSwizzleModeOncePerClassAndKey, &key));
  EXPECT_EQ(describe("SwizzleBase", 1), "once base 1");
  EXPECT_EQ(describe("SwizzleDerived", 2), "once base 2");  // inherited

  // Mode 2 refuses a subclass of a class already changed under the key.
  EXPECT_FALSE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleDerived", prefixing("sub "),
                                                VLSwizzleModeOncePerClassHierarchyAndKey, &key));
  // Under another key the subclass gets its own method; having displaced nothing, its
  // original is whatever the superclass does at the time of the call.
  EXPECT_TRUE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleDerived", prefixing("sub "),
                                               VLSwizzleModeOncePerClassHierarchyAndKey,
                                               &otherKey));
  EXPECT_EQ(describe("SwizzleDerived", 3), "sub once base 3");
  VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleBase", prefixing("again "),
                                   VLSwizzleModeAlways, nullptr);
  EXPECT_EQ(describe("SwizzleDerived", 4), "sub again once base 4");
  EXPECT_EQ(describe("SwizzleBase", 5), "again once base 5");

  // Misuse is refused and leaves the method as it was.
  VLSwizzle::declareClass("SwizzleTarget");
  VLSwizzle::declareMethod<std::string(int)>("SwizzleTarget", "describe:", false,
                                             [](int n) { return "target " + std::to_string(n); });
  testing_support::LogCapture log;

  EXPECT_FALSE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleTarget", prefixing("x "),
                                                VLSwizzleModeOncePerClassAndKey, nullptr));
  EXPECT_TRUE(log.contains("Key may not be NULL if mode is not VLSwizzleModeAlways."));

  static const int targetKey = 0;
  EXPECT_FALSE(VLSwizzle::swizzleInstanceMethod("missing:", "SwizzleTarget", prefixing("x "),
                                                VLSwizzleModeOncePerClassAndKey, &targetKey));
  EXPECT_TRUE(
      log.contains("Selector missing: not found in instance methods of class SwizzleTarget."));

  auto wrongSignature = [](const std::shared_ptr<VLSwizzleInfo>&) {
    return std::any(std::function<int(int)>([](int n) { return n; }));
  };
  EXPECT_FALSE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleTarget", wrongSignature,
                                                VLSwizzleModeOncePerClassAndKey, &targetKey));
  EXPECT_TRUE(log.contains("Block returned from factory is not compatible with method type."));

  EXPECT_EQ(describe("SwizzleTarget", 7), "target 7");
  // The refusals did not use up the key.
  EXPECT_TRUE(VLSwizzle::swizzleInstanceMethod("describe:", "SwizzleTarget", prefixing("x "),
                                               VLSwizzleModeOncePerClassAndKey, &targetKey));
}
