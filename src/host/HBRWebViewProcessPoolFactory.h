#pragma once

#include <memory>

#include "platform/webkit/WebView.h"

// Hands out the one web content process pool that every web view of the process shares.
class HBRWebViewProcessPoolFactory {
 public:
  static HBRWebViewProcessPoolFactory& sharedFactory();
  std::shared_ptr<platform::webkit::ProcessPool> sharedProcessPool() const { return sharedPool_; }

 private:
  HBRWebViewProcessPoolFactory() : sharedPool_(std::make_shared<platform::webkit::ProcessPool>()) {}
  std::shared_ptr<platform::webkit::ProcessPool> sharedPool_;
};
