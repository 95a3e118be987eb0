#include "appcache/VLCustomSchemeHandler.h"

#include <algorithm>

#include "appcache/VLHarborLoaderURLProtocol.h"
#include "host/HBRURLSchemeHandler.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "shell/VLHTTPFactory.h"
#include "shell/VLLogger.h"

using platform::URLRequest;
using platform::URLResponse;
using platform::webkit::URLSchemeTask;

namespace {

// Every "veltro://" in `value` becomes "https://" (case as written: the page's own URLs).
std::string withHTTPSOrigins(std::string value) {
  static constexpr std::string_view kFrom = "veltro://";
  static constexpr std::string_view kTo = "https://";
  for (size_t at = value.find(kFrom); at != std::string::npos; at = value.find(kFrom, at + kTo.size()))
    value.replace(at, kFrom.size(), kTo);
  return value;
}

// A session follows a redirect only while it stays on the origin of the task's request; at
// any other hop it stops, and the task completes with that redirect, which is then refused.
class SameOriginRedirects final : public platform::URLSessionDelegate {
 public:
  void willPerformHTTPRedirection(platform::URLSession&, platform::URLSessionTask& task, const URLResponse&,
                                  URLRequest newRequest,
                                  std::function<void(std::optional<URLRequest>)> completionHandler) override {
    if (VLCustomSchemeHandler::isSameOrigin(newRequest.url(), task.originalRequest().url())) {
      completionHandler(std::move(newRequest));
      return;
    }
    completionHandler(std::nullopt);
  }
};

std::optional<int> effectivePort(const platform::URL& url) {
  if (auto port = url.port()) return port;
  if (platform::equalsIgnoreCase(url.scheme(), "https")) return 443;
  if (platform::equalsIgnoreCase(url.scheme(), "http")) return 80;
  return std::nullopt;
}

bool isRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

void replaceField(platform::HTTPHeaders& fields, const std::string& name, std::string value) {
  fields.erase(std::remove_if(fields.begin(), fields.end(),
                              [&](const auto& field) { return platform::equalsIgnoreCase(field.first, name); }),
               fields.end());
  fields.emplace_back(name, std::move(value));
}

}  // namespace

bool VLCustomSchemeHandler::isSameOrigin(const platform::URL& url, const platform::URL& origin) {
  return !url.scheme().empty() && platform::equalsIgnoreCase(url.scheme(), origin.scheme()) &&
         platform::equalsIgnoreCase(url.host(), origin.host()) && effectivePort(url) == effectivePort(origin);
}

void VLCustomSchemeHandler::setDefaultHostname(std::string hostname) {
  defaultHostname_ = std::move(hostname);
  servedOrigin_ = platform::URL::parse(std::string(kScheme) + "://" + defaultHostname_);
}

std::shared_ptr<platform::URLSession> VLCustomSchemeHandler::downloadSession() {
  if (!downloadSession_)
    downloadSession_ = platform::URLSession::sessionWithConfiguration(VLHTTPFactory::defaultConfiguration(),
                                                                      std::make_shared<SameOriginRedirects>());
  return downloadSession_;
}

std::shared_ptr<platform::URLSession> VLCustomSchemeHandler::anonymousSession() {
  if (!anonymousSession_) {
    platform::URLSessionConfiguration configuration = VLHTTPFactory::defaultConfiguration();
    configuration.setHTTPShouldSetCookies(false);
    configuration.setHTTPCookieAcceptPolicy(platform::HTTPCookieAcceptPolicy::Never);
    anonymousSession_ =
        platform::URLSession::sessionWithConfiguration(configuration, std::make_shared<SameOriginRedirects>());
  }
  return anonymousSession_;
}

bool VLCustomSchemeHandler::answerForWebView(const URLRequest& request, const platform::URL& converted,
                                             const URLResponse& response, std::string& body, URLResponse& answer,
                                             std::string& refusal) {
  int status = response.isHTTP() ? response.statusCode() : 200;
  auto location = response.valueForHTTPHeaderField("Location");
  if (isRedirect(status) && location) {
    refusal = "Refused the redirect of " + request.url().absoluteString() + " to " + *location +
              ": it leaves the request's scheme, host and port.";
    return false;
  }
  if (!isSameOrigin(response.url(), converted)) {
    refusal = "Refused the answer to " + request.url().absoluteString() + ": it came from " +
              response.url().absoluteString() + ", not from the request's scheme, host and port.";
    return false;
  }
  platform::HTTPHeaders fields = headerFieldsForWebView(response.allHeaderFields());
  if (!response.isHTTP() && !response.mimeType().empty()) fields.emplace_back("Content-Type", response.mimeType());
  // The whole file answers a range as the application scheme would: the part asked for.
  if (status == 200) {
    replaceField(fields, "Accept-Ranges", "bytes");
    if (auto range = request.valueForHTTPHeaderField("Range")) {
      bool satisfiable = true;
      auto size = static_cast<std::int64_t>(body.size());
      if (auto part = HBRURLSchemeHandler::parseRange(*range, size, satisfiable)) {
        status = 206;
        replaceField(fields, "Content-Range",
                     platform::stringf("bytes %lld-%lld/%lld", static_cast<long long>(part->offset),
                                       static_cast<long long>(part->offset + part->length - 1),
                                       static_cast<long long>(size)));
        body = body.substr(static_cast<size_t>(part->offset), static_cast<size_t>(part->length));
      } else if (!satisfiable) {
        status = 416;
        replaceField(fields, "Content-Range", platform::stringf("bytes */%lld", static_cast<long long>(size)));
        body.clear();
      }
    }
  }
  fields.emplace_back("Content-Length", std::to_string(body.size()));
  if (platform::asciiUpper(request.httpMethod()) == "HEAD") body.clear();
  HBRURLSchemeHandler::addApplicationAnswerHeaders(fields);
  answer = URLResponse::http(response.url().withScheme(kScheme), status, std::move(fields));
  return true;
}

void VLCustomSchemeHandler::setRefererHeaderIfEnabled(URLRequest& request) const {
  if (referrerHeaderEnabled_) request.setValue("https://" + referrer_, "Referer");
}

URLRequest VLCustomSchemeHandler::convertToHTTPProtocol(const URLRequest& request) const {
  URLRequest converted(request.url().withScheme("https"));
  converted.setHTTPMethod(request.httpMethod());
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    converted.setValue(withHTTPSOrigins(value), name);
  setRefererHeaderIfEnabled(converted);
  return converted;
}

platform::HTTPHeaders VLCustomSchemeHandler::headerFieldsForWebView(const platform::HTTPHeaders& fields) {
  platform::HTTPHeaders kept;
  kept.reserve(fields.size());
  for (const auto& field : fields) {
    if (platform::equalsIgnoreCase(field.first, "Content-Encoding") ||
        platform::equalsIgnoreCase(field.first, "Content-Length") ||
        platform::equalsIgnoreCase(field.first, "Transfer-Encoding"))
      continue;
    kept.push_back(field);
  }
  return kept;
}

void VLCustomSchemeHandler::startURLSchemeTask(platform::webkit::WebView& webView,
                                               const std::shared_ptr<URLSchemeTask>& task) {
  if (!logger_) logger_ = VLLogger::sharedInstance();
  const URLRequest& request = task->request();
  std::string method = request.httpMethod().empty() ? "GET" : request.httpMethod();
  if (method != "GET" && method != "HEAD") {
    task->didReceiveResponse(URLResponse::http(request.url(), 404, {}));
    task->didFinish();
    return;
  }
  // The scheme stands for the application's server only: any other host would run another
  // site's pages under the application's origin.
  if (defaultHostname_.empty() || !servedOrigin_ || !isSameOrigin(request.url(), *servedOrigin_)) {
    logRefusal("Refused " + request.url().absoluteString() + ": the \"veltro\" scheme serves only the host of "
               "\"DefaultHostname\" (" + (defaultHostname_.empty() ? std::string("not set") : defaultHostname_) + ").",
               logger_);
    task->didFailWithError(platform::urlerror::make(platform::urlerror::kCannotFindHost, &request.url()));
    return;
  }

  URLRequest converted = convertToHTTPProtocol(request);
  // A HEAD is answered from the GET's answer, which the cache and the package can give.
  if (method == "HEAD") converted.setHTTPMethod("GET");
  logDebug("Original request: " + request.url().absoluteString());
  logDebug("Converted request: " + converted.url().absoluteString());
  bool ownPage = pageRule_ && pageRule_(webView, request);
  if (!ownPage) logDebug("Without cookies: " + request.url().absoluteString() + " is not the application page's own");

  auto state = std::make_shared<TaskState>();
  running_[task.get()] = state;
  std::weak_ptr<VLCustomSchemeHandler> weakSelf = weak_from_this();
  // The web view is answered on the main thread only; the task and its state travel with the
  // answer, so a handler that went away still leaves no page waiting.
  auto done = [weakSelf, task, state](Answer answer) {
    platform::MainLoop::post([weakSelf, task, state, answer = std::move(answer)]() mutable {
      if (auto self = weakSelf.lock()) {
        self->finish(task, state, std::move(answer));
        return;
      }
      {
        std::lock_guard lock(state->mutex);
        if (state->stopped) return;
      }
      task->didFailWithError(answer.error ? *answer.error
                                          : platform::urlerror::make(platform::urlerror::kCancelled,
                                                                     &task->request().url()));
    });
  };
  platform::DispatchQueue::global().async(
      [converted = std::move(converted), session = ownPage ? downloadSession() : anonymousSession(), state,
       done = std::move(done), logger = logger_, request]() mutable {
        load(converted, session, state, std::move(done), logger, request);
      });
}

namespace {

// Collects what a URL protocol run outside a session says, as a data task's completion has it:
// the response, the body, and then the end or the failure, handed on once. The protocol is
// stopped right after its end, on the thread that ended it.
class CollectingClient final : public platform::URLProtocolClient {
 public:
  using Completion = std::function<void(std::optional<std::string>, std::optional<URLResponse>,
                                        std::optional<platform::Error>)>;
  explicit CollectingClient(Completion completion) : completion_(std::move(completion)) {}

  void didReceiveResponse(platform::URLProtocol&, const URLResponse& response, platform::URLCacheStoragePolicy) override {
    std::lock_guard lock(mutex_);
    if (!ended_) response_ = response;
  }
  void didLoadData(platform::URLProtocol&, std::string data) override {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    if (body_.empty())
      body_ = std::move(data);
    else
      body_.append(data);
  }
  void didFinishLoading(platform::URLProtocol& protocol) override { end(protocol, std::nullopt); }
  void didFailWithError(platform::URLProtocol& protocol, const platform::Error& error) override { end(protocol, error); }

 private:
  void end(platform::URLProtocol& protocol, std::optional<platform::Error> error) {
    Completion completion;
    std::optional<std::string> data;
    std::optional<URLResponse> response;
    {
      std::lock_guard lock(mutex_);
      if (ended_) return;
      ended_ = true;
      completion = std::move(completion_);
      if (!error) data = std::move(body_);
      response = std::move(response_);
    }
    try {
      protocol.stopLoading();
    } catch (...) {
      platform::log("ERROR: The URL protocol failed to stop loading " + protocol.request().url().absoluteString());
    }
    if (completion) completion(std::move(data), std::move(response), std::move(error));
  }

  std::mutex mutex_;
  Completion completion_;
  std::optional<URLResponse> response_;
  std::string body_;
  bool ended_ = false;
};

}  // namespace

void VLCustomSchemeHandler::load(const URLRequest& converted, const std::shared_ptr<platform::URLSession>& session,
                                 const std::shared_ptr<TaskState>& state, std::function<void(Answer)> done,
                                 const std::shared_ptr<VLLoggerProtocol>& logger, const URLRequest& request) {
  {
    std::lock_guard lock(state->mutex);
    if (state->stopped) return;
  }
  platform::URL convertedURL = converted.url();
  auto complete = [request, convertedURL, done = std::move(done), logger](
                      std::optional<std::string> data, const std::optional<URLResponse>& response,
                      const std::optional<platform::Error>& error) {
    done(answerFor(request, convertedURL, std::move(data), response, error, logger));
  };
  // The loader is asked as the session would ask it: only when it is the first of the
  // session's protocols to take the request.
  static const platform::URLProtocolClassRef loader = platform::protocolClass<VLHarborLoaderURLProtocol>();
  if (session->protocolClassForRequest(converted) == loader) {
    auto protocolRequest = loader->canonicalRequestForRequest(converted);
    // The completion holds the protocol until it ends; the client lets go of it then.
    auto holder = std::make_shared<std::shared_ptr<platform::URLProtocol>>();
    auto client = std::make_shared<CollectingClient>(
        [complete = std::move(complete), holder](std::optional<std::string> data, std::optional<URLResponse> response,
                                                 std::optional<platform::Error> error) {
          auto keep = std::move(*holder);
          complete(std::move(data), response, error);
        });
    auto protocol = std::static_pointer_cast<VLHarborLoaderURLProtocol>(loader->makeProtocol(protocolRequest, client));
    *holder = protocol;
    try {
      protocol->startLoadingInPlace();
    } catch (...) {
      client->didFailWithError(*protocol, platform::urlerror::make(platform::urlerror::kUnknown, &convertedURL,
                                                                   "the URL protocol failed to start"));
    }
    return;
  }
  auto dataTask = session->dataTaskWithRequest(converted, std::move(complete));
  {
    std::lock_guard lock(state->mutex);
    if (state->stopped) return;
    state->dataTask = dataTask;
  }
  dataTask->resume();
}

VLCustomSchemeHandler::Answer VLCustomSchemeHandler::answerFor(const URLRequest& request,
                                                               const platform::URL& converted,
                                                               std::optional<std::string> data,
                                                               const std::optional<URLResponse>& response,
                                                               const std::optional<platform::Error>& error,
                                                               const std::shared_ptr<VLLoggerProtocol>& logger) {
  Answer answer;
  if (error || !response) {
    answer.error = error ? *error : platform::urlerror::make(platform::urlerror::kBadServerResponse, &request.url());
    return answer;
  }
  answer.body = std::move(data).value_or("");
  URLResponse given;
  std::string refusal;
  if (!answerForWebView(request, converted, *response, answer.body, given, refusal)) {
    logRefusal(refusal, logger);
    answer.body.clear();
    answer.error = platform::urlerror::make(platform::urlerror::kBadServerResponse, &request.url(), refusal);
    return answer;
  }
  answer.response = std::move(given);
  return answer;
}

void VLCustomSchemeHandler::finish(const std::shared_ptr<URLSchemeTask>& task, const std::shared_ptr<TaskState>& state,
                                   Answer answer) {
  auto it = running_.find(task.get());
  if (it != running_.end() && it->second == state) running_.erase(it);
  {
    std::lock_guard lock(state->mutex);
    state->dataTask.reset();
    if (state->stopped) return;
  }
  if (answer.error || !answer.response) {
    task->didFailWithError(answer.error ? *answer.error
                                        : platform::urlerror::make(platform::urlerror::kBadServerResponse,
                                                                   &task->request().url()));
    return;
  }
  task->didReceiveResponse(*answer.response);
  if (!answer.body.empty()) task->didReceiveOwnedData(std::move(answer.body));
  task->didFinish();
}

void VLCustomSchemeHandler::stopURLSchemeTask(platform::webkit::WebView&, const std::shared_ptr<URLSchemeTask>& task) {
  logInfo("Stopped loading URL: " + task->request().url().absoluteString());
  auto it = running_.find(task.get());
  if (it == running_.end()) return;
  std::shared_ptr<TaskState> state = it->second;
  running_.erase(it);
  std::shared_ptr<platform::URLSessionDataTask> dataTask;
  {
    std::lock_guard lock(state->mutex);
    state->stopped = true;
    dataTask = std::move(state->dataTask);
  }
  if (dataTask) dataTask->cancel();
}

void VLCustomSchemeHandler::logDebug(const std::string& message) const {
  if (logger_) logger_->logDebug(message, kLogModule);
}

void VLCustomSchemeHandler::logRefusal(const std::string& message, const std::shared_ptr<VLLoggerProtocol>& logger) {
  // Also before the logger is configured: a refused load never goes unexplained.
  platform::log("ERROR: " + message);
  if (logger) logger->logError(message, kLogModule, nullptr, std::nullopt);
}

void VLCustomSchemeHandler::logInfo(const std::string& message) const {
  if (logger_) logger_->logInfo(message, kLogModule);
}
