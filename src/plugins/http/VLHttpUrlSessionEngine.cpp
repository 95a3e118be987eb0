#include "plugins/http/VLHttpUrlSessionEngine.h"

#include <algorithm>

#include "platform/foundation/Log.h"
#include "platform/net/URLError.h"
#include "plugins/http/VLHttpCommandArgs.h"
#include "plugins/http/VLHttpHeadersUtils.h"
#include "shell/VLHTTPFactory.h"

using platform::HTTPHeaders;
using platform::URLRequest;

namespace {

// The platform's code for a body over the allowed length.
constexpr long kDataLengthExceedsMaximum = -1103;
// The most memory set aside for a body before its bytes arrive.
constexpr std::size_t kReservedBodyBytes = 1u << 20;

// The fields of a request: the cookie fields first, then the allowed caller fields over them.
URLRequest withHeaderFields(URLRequest request, const HTTPHeaders& cookies, const HTTPHeaders& fields) {
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    (void)value, request.removeHTTPHeaderField(std::string(name));
  for (const auto& [name, value] : cookies) request.setValue(value, name);
  for (const auto& [name, value] : fields) request.setValue(value, name);
  return request;
}

}  // namespace

// The session holds its delegate strongly; this one holds the engine weakly, so that the
// engine, which holds the session, can go away.
class VLHttpUrlSessionEngine::Delegate : public platform::URLSessionDelegate {
 public:
  explicit Delegate(std::weak_ptr<VLHttpUrlSessionEngine> engine) : engine_(std::move(engine)) {}

  void willPerformHTTPRedirection(platform::URLSession&, platform::URLSessionTask&,
                                  const platform::URLResponse& response, URLRequest newRequest,
                                  std::function<void(std::optional<URLRequest>)> completion) override {
    if (auto engine = engine_.lock())
      engine->willPerformHTTPRedirection(response, std::move(newRequest), std::move(completion));
    else
      completion(std::nullopt);
  }
  void didReceiveResponse(platform::URLSession&, platform::URLSessionDataTask& task,
                          const platform::URLResponse& response) override {
    if (auto engine = engine_.lock()) engine->didReceiveResponse(task, response);
  }
  void didReceiveData(platform::URLSession&, platform::URLSessionDataTask& task, const std::string& data) override {
    if (auto engine = engine_.lock()) engine->didReceiveData(task, data);
  }
  void didCompleteWithError(platform::URLSession&, platform::URLSessionTask& task,
                            const std::optional<platform::Error>& error) override {
    if (auto engine = engine_.lock()) engine->didComplete(task, error);
  }

 private:
  std::weak_ptr<VLHttpUrlSessionEngine> engine_;
};

std::shared_ptr<VLHttpUrlSessionEngine> VLHttpUrlSessionEngine::create(
    std::shared_ptr<VLHttpCookieHandler> cookieHandler) {
  return std::make_shared<VLHttpUrlSessionEngine>(std::move(cookieHandler));
}

VLHttpUrlSessionEngine::VLHttpUrlSessionEngine(std::shared_ptr<VLHttpCookieHandler> cookieHandler)
    : cookieHandler_(std::move(cookieHandler)) {}

VLHttpUrlSessionEngine::~VLHttpUrlSessionEngine() = default;

std::shared_ptr<platform::URLSession> VLHttpUrlSessionEngine::urlSession() {
  std::call_once(sessionOnce_, [this] {
    platform::URLSessionConfiguration configuration = VLHTTPFactory::defaultConfiguration();
    // Cookies travel only through the cookie handler, which also mirrors them into the page.
    configuration.setHTTPCookieStorage(nullptr);
    configuration.setHTTPShouldSetCookies(false);
    configuration.setHTTPCookieAcceptPolicy(platform::HTTPCookieAcceptPolicy::Never);
    // A page fires its requests in bursts; as many at a time to one host as a browser opens.
    configuration.setHTTPMaximumConnectionsPerHost(kMaximumConnectionsPerHost);
    session_ = platform::URLSession::sessionWithConfiguration(configuration,
                                                              std::make_shared<Delegate>(weak_from_this()));
  });
  return session_;
}

void VLHttpUrlSessionEngine::sendRequest(const std::string& requestId, const platform::URL& url,
                                         std::int32_t method, const platform::Value& headers,
                                         double timeoutMilliseconds, const std::optional<std::string>& body,
                                         Callback callback) {
  URLRequest request(url, platform::URLRequestCachePolicy::UseProtocolCachePolicy, timeoutMilliseconds / 1000.0);
  if (method == VLHttpRequestMethodPost) {
    request.setHTTPMethod("POST");
    request.setHTTPBody(body.value_or(""));
  } else {
    request.setHTTPMethod("GET");
  }
  HTTPHeaders fields = VLHttpHeadersUtils::processRequestHeaders(headers);
  auto self = shared_from_this();
  cookieHandler_->getPersistedCookiesForUrl(
      url, [self, request = std::move(request), fields = std::move(fields), requestId, url,
            callback = std::move(callback)](HTTPHeaders cookies) mutable {
        auto session = self->urlSession();
        auto task = session->dataTaskWithRequest(withHeaderFields(std::move(request), cookies, fields));
        {
          std::lock_guard lock(self->mutex_);
          self->pending_[task->taskIdentifier()] =
              Pending{requestId, url, std::move(callback), {}, self->maximumBodySize_.load(), false};
        }
        task->setTaskDescription(requestId);
        task->resume();
      });
}

void VLHttpUrlSessionEngine::tooLarge(platform::URLSessionDataTask& task, Pending& pending) {
  pending.tooLarge = true;
  std::string().swap(pending.body);
  task.cancel();
}

void VLHttpUrlSessionEngine::didReceiveResponse(platform::URLSessionDataTask& task,
                                                const platform::URLResponse& response) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(task.taskIdentifier());
  if (it == pending_.end()) return;
  auto length = response.expectedContentLength();
  if (!length || *length <= 0) return;
  if (static_cast<std::uint64_t>(*length) > it->second.limit)
    tooLarge(task, it->second);
  else  // room for what the server announces, up to a bound a false announcement cannot pass
    it->second.body.reserve(std::min<std::size_t>(static_cast<std::size_t>(*length), kReservedBodyBytes));
}

void VLHttpUrlSessionEngine::didReceiveData(platform::URLSessionDataTask& task, const std::string& data) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(task.taskIdentifier());
  if (it == pending_.end() || it->second.tooLarge) return;
  if (it->second.body.size() + data.size() > it->second.limit) {
    tooLarge(task, it->second);
    return;
  }
  it->second.body += data;
}

void VLHttpUrlSessionEngine::didComplete(platform::URLSessionTask& task, const std::optional<platform::Error>& error) {
  Pending pending;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(task.taskIdentifier());
    if (it == pending_.end()) return;
    pending = std::move(it->second);
    pending_.erase(it);
  }
  if (pending.tooLarge) {
    platform::Error failure = platform::urlerror::make(kDataLengthExceedsMaximum, &pending.url);
    failure.userInfo["NSLocalizedDescription"] =
        platform::stringf("The response body is larger than %zu bytes.", pending.limit);
    pending.callback(pending.requestId, pending.url, std::nullopt, std::nullopt, failure);
    return;
  }
  std::optional<platform::URLResponse> response = task.response();
  std::optional<std::string> data;
  if (!error) data = std::move(pending.body);
  if (!response) {
    pending.callback(pending.requestId, pending.url, data, response, error);
    return;
  }
  auto callback = std::move(pending.callback);
  cookieHandler_->persistCookiesFromResponseHeaders(
      response->allHeaderFields(), response->url(),
      [callback = std::move(callback), requestId = pending.requestId, url = pending.url, data = std::move(data),
       response, error]() mutable { callback(requestId, url, data, response, error); });
}

void VLHttpUrlSessionEngine::willPerformHTTPRedirection(
    const platform::URLResponse& response, URLRequest newRequest,
    std::function<void(std::optional<URLRequest>)> completion) {
  auto cookieHandler = cookieHandler_;
  cookieHandler->persistCookiesFromResponseHeaders(
      response.allHeaderFields(), response.url(),
      [cookieHandler, newRequest = std::move(newRequest), completion = std::move(completion)]() mutable {
        platform::URL next = newRequest.url();
        cookieHandler->getPersistedCookiesForUrl(
            next, [newRequest = std::move(newRequest), completion = std::move(completion)](HTTPHeaders cookies) {
              // A stale "Cookie" and every other reserved field are dropped; this hop's URL
              // gets its own cookies.
              HTTPHeaders fields = VLHttpHeadersUtils::processRequestHeaders(newRequest.allHTTPHeaderFields());
              completion(withHeaderFields(newRequest, cookies, fields));
            });
      });
}

void VLHttpUrlSessionEngine::abortRequest(const std::string& requestId, std::function<void()> completion) {
  urlSession()->getAllTasks([requestId, completion = std::move(completion)](
                                std::vector<std::shared_ptr<platform::URLSessionTask>> tasks) {
    for (const auto& task : tasks) {
      if (task->taskDescription() == requestId) {
        task->cancel();
        break;
      }
    }
    completion();
  });
}

void VLHttpUrlSessionEngine::abortAllRequests(std::function<void()> completion) {
  urlSession()->getAllTasks(
      [completion = std::move(completion)](std::vector<std::shared_ptr<platform::URLSessionTask>> tasks) {
        for (const auto& task : tasks) task->cancel();
        completion();
      });
}
