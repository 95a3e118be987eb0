#include "appcache/VLCustomSchemeHandler.h"

#include <algorithm>

#include "host/HBRURLSchemeHandler.h"
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
  auto served = platform::URL::parse(std::string(kScheme) + "://" + defaultHostname_);
  if (defaultHostname_.empty() || !served || !isSameOrigin(request.url(), *served)) {
    logRefusal("Refused " + request.url().absoluteString() + ": the \"veltro\" scheme serves only the host of "
               "\"DefaultHostname\" (" + (defaultHostname_.empty() ? std::string("not set") : defaultHostname_) + ").");
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
  platform::URL convertedURL = converted.url();
  state->dataTask = (ownPage ? downloadSession() : anonymousSession())->dataTaskWithRequest(
      converted, [weakSelf, task, state, convertedURL](std::optional<std::string> data,
                                                       const std::optional<URLResponse>& response,
                                                       const std::optional<platform::Error>& error) {
        // The web view is answered on the main thread only; the task and its state travel
        // with the completion, so a handler that went away still leaves no page waiting.
        platform::MainLoop::post([weakSelf, task, state, convertedURL, data = std::move(data), response, error] {
          if (auto self = weakSelf.lock()) {
            self->finish(task, state, convertedURL, data, response, error);
            return;
          }
          if (state->stopped) return;
          if (error)
            task->didFailWithError(*error);
          else
            task->didFailWithError(platform::urlerror::make(platform::urlerror::kCancelled, &task->request().url()));
        });
      });
  state->dataTask->resume();
}

void VLCustomSchemeHandler::finish(const std::shared_ptr<URLSchemeTask>& task, const std::shared_ptr<TaskState>& state,
                                   const platform::URL& converted, const std::optional<std::string>& data,
                                   const std::optional<URLResponse>& response,
                                   const std::optional<platform::Error>& error) {
  auto it = running_.find(task.get());
  if (it != running_.end() && it->second == state) running_.erase(it);
  state->dataTask.reset();
  if (state->stopped) return;
  if (error || !response) {
    task->didFailWithError(
        error ? *error : platform::urlerror::make(platform::urlerror::kBadServerResponse, &task->request().url()));
    return;
  }
  std::string body = data.value_or("");
  URLResponse answer;
  std::string refusal;
  if (!answerForWebView(task->request(), converted, *response, body, answer, refusal)) {
    logRefusal(refusal);
    task->didFailWithError(platform::urlerror::make(platform::urlerror::kBadServerResponse, &task->request().url(),
                                                    refusal));
    return;
  }
  task->didReceiveResponse(answer);
  if (!body.empty()) task->didReceiveData(body);
  task->didFinish();
}

void VLCustomSchemeHandler::stopURLSchemeTask(platform::webkit::WebView&, const std::shared_ptr<URLSchemeTask>& task) {
  logInfo("Stopped loading URL: " + task->request().url().absoluteString());
  auto it = running_.find(task.get());
  if (it == running_.end()) return;
  std::shared_ptr<TaskState> state = it->second;
  running_.erase(it);
  state->stopped = true;
  if (state->dataTask) state->dataTask->cancel();
}

void VLCustomSchemeHandler::logDebug(const std::string& message) const {
  if (logger_) logger_->logDebug(message, kLogModule);
}

void VLCustomSchemeHandler::logRefusal(const std::string& message) const {
  // Also before the logger is configured: a refused load never goes unexplained.
  platform::log("ERROR: " + message);
  if (logger_) logger_->logError(message, kLogModule, nullptr, std::nullopt);
}

void VLCustomSchemeHandler::logInfo(const std::string& message) const {
  if (logger_) logger_->logInfo(message, kLogModule);
}
