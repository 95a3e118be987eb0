#include "appcache/VLHarborLoader.h"

#include "appcache/VLHarborLoaderURLProtocol.h"
#include "host/HBRExternalLauncher.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLProtocol.h"

namespace {

constexpr std::string_view kExternalPrefix = "external:";

bool mayOpenOutside(const platform::URL& url) {
  const std::string scheme = platform::asciiLower(url.scheme());
  return scheme == "http" || scheme == "https" || scheme == "mailto" || scheme == "tel";
}


}  // namespace

void VLHarborLoaderImpl::deploy() {
  platform::URLProtocol::registerClass(platform::protocolClass<VLHarborLoaderURLProtocol>());
}

bool VLHarborLoaderImpl::shouldOverrideLoadWithRequest(const platform::URLRequest& request,
                                                       int /*navigationType*/) {
  return decide(request, nullptr);
}

bool VLHarborLoaderImpl::shouldOverrideLoad(const platform::webkit::NavigationAction& action) {
  return decide(action.request, &action);
}

bool VLHarborLoaderImpl::decide(const platform::URLRequest& request,
                                const platform::webkit::NavigationAction* action) {
  const std::string& text = request.url().absoluteString();
  if (!platform::startsWith(text, kExternalPrefix)) return true;
  auto target = platform::URL::parse(std::string_view(text).substr(kExternalPrefix.size()));
  if (target && target->isAbsolute() && mayOpenOutside(*target)) {
    if (action)
      HBRExternalLauncher::shared().launch(*target, *action);
    else
      HBRExternalLauncher::shared().launchWithoutAction(*target);
  } else if (auto logger = VLLogger::sharedInstance()) {
    logger->logWarning("Refused to open an external link: " + platform::jsonText(text),
                       VLHarborLoader::kLogModule);
  }
  return false;
}

void VLHarborLoader::pluginInitialize() {
  logger_ = VLLogger::sharedInstance();
  if (logger_) logger_->logVerbose("pluginInitialize: started", kLogModule);
  harborLoader_ = std::make_shared<VLHarborLoaderImpl>();
  harborLoader_->deploy();
  if (logger_) logger_->logVerbose("pluginInitialize: finished", kLogModule);
}

std::optional<bool> VLHarborLoader::shouldOverrideLoadWithRequest(
    const platform::URLRequest& request, int navigationType) {
  if (!harborLoader_) return std::nullopt;
  return harborLoader_->shouldOverrideLoadWithRequest(request, navigationType);
}

std::optional<bool> VLHarborLoader::shouldOverrideLoad(
    const platform::webkit::NavigationAction& action) {
  auto impl = std::dynamic_pointer_cast<VLHarborLoaderImpl>(harborLoader_);
  if (impl) return impl->shouldOverrideLoad(action);
  return HBRPlugin::shouldOverrideLoad(action);
}

void VLRegisterHarborLoader() { HBRRegisterBuiltInPluginClass<VLHarborLoader>("VLHarborLoader"); }
