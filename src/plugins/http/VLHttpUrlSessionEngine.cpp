#include "plugins/http/VLHttpUrlSessionEngine.h"


#include "platform/foundation/Log.h"
#include "platform/net/URLError.h"
#include "plugins/http/VLHttpCommandArgs.h"
#include "plugins/http/VLHttpHeadersUtils.h"
#include "shell/VLHTTPFactory.h"

using platform::HTTPHeaders;
using platform::URLRequest;

namespace {


// The fields of a request: the cookie fields first, then the allowed caller fields over them.
URLRequest withHeaderFields(URLRequest request, const HTTPHeaders& cookies, const HTTPHeaders& fields) {
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    (void)value, request.removeHTTPHeaderField(std::string(name));
  for (const auto& [name, value] : cookies) request.setValue(value, name);
  for (const auto& [name, value] : fields) request.setValue(value, name);
  return request;
}

}  // namespace

// Redirect decisions; everything else reaches each task's completion handler. The session
// holds its delegate strongly; this one holds the engine weakly, so that the engine, which
// holds the session, can go away.
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
    // A server's redirect never leads into a local URL protocol (hbrfile:, app:): every hop
    // is http or https.
    configuration.setAllowedSchemes({"http", "https"});
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
        std::size_t limit = self->maximumBodySize_.load();
        auto task = session->dataTaskWithRequest(
            withHeaderFields(std::move(request), cookies, fields),
            [self, requestId, url, limit, callback = std::move(callback)](
                const std::optional<std::string>& data, const std::optional<platform::URLResponse>& response,
                const std::optional<platform::Error>& error) {
              self->didComplete(requestId, url, limit, callback, data, response, error);
            });
        task->setMaximumDataLength(limit);
        task->setTaskDescription(requestId);
        task->resume();
      });
}

void VLHttpUrlSessionEngine::didComplete(const std::string& requestId, const platform::URL& url, std::size_t limit,
                                         const Callback& callback, std::optional<std::string> data,
                                         const std::optional<platform::URLResponse>& response,
                                         std::optional<platform::Error> error) {
  if (error && error->code == platform::urlerror::kDataLengthExceedsMaximum)
    error->userInfo["NSLocalizedDescription"] = platform::stringf("The response body is larger than %zu bytes.", limit);
  if (!response) {
    callback(requestId, url, data, response, error);
    return;
  }
  cookieHandler_->persistCookiesFromResponseHeaders(
      response->allHeaderFields(), response->url(),
      [callback, requestId, url, data = std::move(data), response, error]() {
        callback(requestId, url, data, response, error);
      });
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
