#include "host/HBRCommandDelegateImpl.h"

#include "host/HBRCommandQueue.h"
#include "host/HBRJSON.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"

using platform::Value;

HBRCommandDelegateImpl::HBRCommandDelegateImpl(const std::shared_ptr<HBRViewController>& viewController)
    : viewController_(viewController),
      commandQueue_(viewController ? viewController->commandQueue() : nullptr) {}

std::optional<std::string> HBRCommandDelegateImpl::pathForResource(const std::string& resourcePath) {
  auto vc = viewController_.lock();
  std::string folder = vc ? vc->wwwFolderName() : "www";
  auto components = platform::split(resourcePath, '/');
  std::string fileName = components.back();
  components.pop_back();
  std::string joined = platform::join(components, "/");
  std::string directory = joined.empty() ? folder : folder + "/" + joined;
  return platform::Bundle::main().pathForResource(fileName, "", directory);
}

std::shared_ptr<platform::Object> HBRCommandDelegateImpl::getCommandInstance(const std::string& pluginName) {
  auto vc = viewController_.lock();
  return vc ? vc->getCommandInstance(pluginName) : nullptr;
}

bool HBRCommandDelegateImpl::isValidCallbackId(const std::optional<std::string>& callbackId) const {
  if (!callbackId) return false;
  if (callbackId->size() > 100) return false;
  // Only letters, digits, '.', '_' and '-' (checked by hand: this runs for every answer).
  for (char c : *callbackId) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

std::string HBRCommandDelegateImpl::callbackMessage(const std::string& callbackId, const HBRPluginResult* result) {
  // No result object is still an answer: status 0 with a null message, callback dropped.
  int status = 0;
  std::optional<std::string> arguments = "(null)";
  bool keep = false;
  if (result) {
    status = static_cast<int>(result->status());
    arguments = result->argumentsAsJSON();
    keep = result->keepCallback();
    if (!arguments) {
      // A message JSON cannot carry must not reach JavaScript as a success with no payload.
      status = static_cast<int>(HBRResultStatus::JSONException);
      arguments = Value("The plugin result could not be serialized to JSON.").dump();
    }
  }
  // Built by hand rather than with a format: this runs once for every answer.
  std::string text;
  text.reserve(64 + callbackId.size() + arguments->size());
  text += "harbor.require('harbor/exec').nativeCallback('";
  text += callbackId;
  text += "',";
  text += std::to_string(status);
  text += ',';
  text += *arguments;
  text += keep ? ",1, 0)" : ",0, 0)";
  return text;
}

void HBRCommandDelegateImpl::sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                                              const std::optional<std::string>& callbackId) {
  if (callbackId && *callbackId == "INVALID") return;
  if (!isValidCallbackId(callbackId)) {
    platform::log("Invalid callback id received by sendPluginResult");
    return;
  }
  evalJsHelper(callbackMessage(*callbackId, result.get()));
}

void HBRCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
  std::string wrapped = "try{harbor.require('harbor/exec').nativeEvalAndFetch(function(){" + js +
                        "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
  if (scheduledOnRunLoop) {
    evalJsHelper(wrapped);
  } else if (platform::MainLoop::isMainThread()) {
    evalJsHelper2(wrapped);
  } else {
    // The web view lives on the main thread; a caller elsewhere gets the next turn instead.
    std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
    platform::MainLoop::post([weakSelf, wrapped] {
      if (auto self = weakSelf.lock()) self->evalJsHelper2(wrapped);
    });
  }
}

void HBRCommandDelegateImpl::evalJsHelper(const std::string& js) {
  auto queue = commandQueue_.lock();
  if (!delayResponses_ && platform::MainLoop::isMainThread() && queue && queue->currentlyExecuting()) {
    evalJsHelper2(js);
    return;
  }
  std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
  platform::MainLoop::post([weakSelf, js] {
    if (auto self = weakSelf.lock()) self->evalJsHelper2(js);
  });
}

void HBRCommandDelegateImpl::evalJsHelper2(const std::string& js) {
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine) return;
  std::weak_ptr<HBRCommandQueue> weakQueue = commandQueue_;
  engine->evaluateJavaScript(js, [weakQueue](const Value& result, const std::optional<platform::Error>&) {
    if (!result.is_string()) return;
    if (auto queue = weakQueue.lock()) {
      queue->enqueueCommandBatch(result.get<std::string>());
      queue->executePending();
    }
  });
}

void HBRCommandDelegateImpl::runInBackground(std::function<void()> block) {
  platform::DispatchQueue::global().async(std::move(block));
}

Value& HBRCommandDelegateImpl::settings() {
  auto vc = viewController_.lock();
  return vc ? vc->mutableSettings() : detachedSettings_;
}

HBRCommandDelegate::URLTransformer HBRCommandDelegateImpl::urlTransformer() const {
  std::lock_guard<std::mutex> lock(transformerMutex_);
  return urlTransformer_;
}

void HBRCommandDelegateImpl::setUrlTransformer(URLTransformer transformer) {
  std::lock_guard<std::mutex> lock(transformerMutex_);
  urlTransformer_ = std::move(transformer);
}

void HBRCommandDelegateImpl::flushCommandQueueWithDelayedJs() {
  delayResponses_ = true;
  if (auto queue = commandQueue_.lock()) queue->executePending();
  delayResponses_ = false;
}
