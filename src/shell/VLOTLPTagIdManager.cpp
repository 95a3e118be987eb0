#include "shell/VLOTLPTagIdManager.h"

#include <cstring>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/URL.h"
#include "shell/VLLogRequests.h"

using platform::Error;
using platform::Value;

namespace {
constexpr const char* kRequestFailed = "Request failed with error code %ld";
constexpr const char* kUnexpected = "An unexpected error has occurred";
}  // namespace

std::string VLLoggingLocalizedString(const std::string& text, std::optional<long> code) {
  std::string localized = platform::Bundle::main().localizedString(text, text);
  if (!code) return localized;
  const std::string number = std::to_string(*code);
  for (const char* conversion : {"%ld", "%d", "%@"}) {
    auto at = localized.find(conversion);
    if (at != std::string::npos) return localized.replace(at, std::strlen(conversion), number);
  }
  return localized + " " + number;
}

std::shared_ptr<VLOTLPTagIdManager> VLOTLPTagIdManager::managerWithHostname(
    const std::string& hostname, const std::string& applicationUrl) {
  return std::make_shared<VLOTLPTagIdManager>(hostname, applicationUrl);
}

VLOTLPTagIdManager::VLOTLPTagIdManager(std::string hostname, std::string applicationUrl)
    : hostname_(std::move(hostname)),
      applicationUrl_(std::move(applicationUrl)),
      queue_(platform::DispatchQueue::makeSerial(kQueueLabel)) {}

std::string VLOTLPTagIdManager::getRestApiUrl() const {
  return "https://" + hostname_ + "/" + applicationUrl_ + "/moduleservices/clientsettingsinfo";
}

std::optional<std::string> VLOTLPTagIdManager::getTagIdFromUserDefaults() const {
  Value kept = platform::UserDefaults::standard().object(kDefaultsKey);
  if (!kept.is_object()) return std::nullopt;
  auto it = kept.find(serverKey());
  if (it == kept.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
    return std::nullopt;
  return it->get<std::string>();
}

void VLOTLPTagIdManager::storeTagIdInUserDefaults(const std::optional<std::string>& tagId) {
  auto& defaults = platform::UserDefaults::standard();
  Value kept = defaults.object(kDefaultsKey);
  if (!kept.is_object()) kept = Value::object();
  if (tagId)
    kept[serverKey()] = *tagId;
  else
    kept.erase(serverKey());
  defaults.set(kDefaultsKey, kept.empty() ? Value() : kept);
}

void VLOTLPTagIdManager::invalidateTagIdWithCompletionHandler(std::function<void()> completion) {
  auto self = shared_from_this();
  queue_->async([self, completion = std::move(completion)] {
    self->storeTagIdInUserDefaults(std::nullopt);
    if (completion) completion();
  });
}

void VLOTLPTagIdManager::getTagIdWithSuccessHandler(SuccessHandler success,
                                                    FailureHandler failure) {
  auto self = shared_from_this();
  queue_->async([self, success = std::move(success), failure = std::move(failure)]() mutable {
    if (auto cached = self->getTagIdFromUserDefaults()) {
      if (success) success(*cached, false);
      return;
    }
    self->successHandlers_.push_back(std::move(success));
    self->failureHandlers_.push_back(std::move(failure));
    if (self->requesting_) return;
    self->requesting_ = true;
    self->requestTagId();
  });
}

std::shared_ptr<platform::URLSession> VLOTLPTagIdManager::urlSession() {
  if (!urlSession_) urlSession_ = VLLogRequests::makeSession();
  return urlSession_;
}

std::optional<std::string> VLOTLPTagIdManager::tagIdFromResponse(
    const std::optional<std::string>& data, const std::optional<platform::URLResponse>& response,
    const std::optional<Error>& error, Error& failure) {
  if (error) {
    failure = *error;
    return std::nullopt;
  }
  const int status = response ? response->statusCode() : 0;
  if (status != 200) {
    failure = Error::make(kErrorDomain, -1, VLLoggingLocalizedString(kRequestFailed, status));
    return std::nullopt;
  }
  Value body = Value::parse(data.value_or(""), nullptr, false);
  if (body.is_discarded()) {
    failure = Error::make(platform::kCocoaErrorDomain, 3840,
                          "The data couldn't be read because it isn't in the correct format.");
    return std::nullopt;
  }
  if (body.is_object()) {
    auto settings = body.find("clientSettings");
    if (settings != body.end() && settings->is_object()) {
      auto id = settings->find("LoggingTagID");
      if (id != settings->end() && id->is_string() && !id->get_ref<const std::string&>().empty())
        return id->get<std::string>();
    }
  }
  failure = Error::make(kErrorDomain, -999, VLLoggingLocalizedString(kUnexpected));
  return std::nullopt;
}

void VLOTLPTagIdManager::requestTagId() {
  auto url = platform::URL::parse(getRestApiUrl());
  if (!url) {
    finishRequest(std::nullopt, Error::make(platform::kURLErrorDomain, -1000, "bad URL"));
    return;
  }
  platform::URLRequest request(*url);
  request.setHTTPMethod("GET");
  request.setValue("application/json", "Accept");
  std::weak_ptr<VLOTLPTagIdManager> weak = weak_from_this();
  auto queue = queue_;
  VLLogRequests::dataTask(urlSession(), request, VLLogRequests::kMaximumSettingsAnswerBytes,
                          [weak, queue](const auto& data, const auto& response,
                                        const auto& error) {
                            Error failure;
                            auto tagId = tagIdFromResponse(data, response, error, failure);
                            // The answer is moved onto the queue before anything changes.
                            queue->async([weak, tagId, failure] {
                              if (auto self = weak.lock()) self->finishRequest(tagId, failure);
                            });
                          })
      ->resume();
}

void VLOTLPTagIdManager::finishRequest(const std::optional<std::string>& tagId,
                                       const Error& error) {
  auto successes = std::move(successHandlers_);
  auto failures = std::move(failureHandlers_);
  successHandlers_.clear();
  failureHandlers_.clear();
  requesting_ = false;
  if (tagId) {
    storeTagIdInUserDefaults(tagId);
    for (auto& handler : successes)
      if (handler) handler(*tagId, true);
  } else {
    platform::log("VLOTLPTagIdManager: fetching the logging tag id failed: " +
                  error.localizedDescription());
    for (auto& handler : failures)
      if (handler) handler(error);
  }
}
