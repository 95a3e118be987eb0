#include "appcache/VLCustomSchemeHandler.h"

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

}  // namespace

std::shared_ptr<platform::URLSession> VLCustomSchemeHandler::downloadSession() {
  if (!downloadSession_)
    downloadSession_ = platform::URLSession::sessionWithConfiguration(VLHTTPFactory::defaultConfiguration());
  return downloadSession_;
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

void VLCustomSchemeHandler::startURLSchemeTask(platform::webkit::WebView&, const std::shared_ptr<URLSchemeTask>& task) {
  if (!logger_) logger_ = VLLogger::sharedInstance();
  const URLRequest& request = task->request();
  if (request.httpMethod() != "GET") {
    task->didReceiveResponse(URLResponse::http(request.url(), 404, {}));
    task->didFinish();
    return;
  }

  URLRequest converted = convertToHTTPProtocol(request);
  logDebug("Original request: " + request.url().absoluteString());
  logDebug("Converted request: " + converted.url().absoluteString());

  auto state = std::make_shared<TaskState>();
  running_[task.get()] = state;
  std::weak_ptr<VLCustomSchemeHandler> weakSelf = weak_from_this();
  state->dataTask = downloadSession()->dataTaskWithRequest(
      converted, [weakSelf, task, state](std::optional<std::string> data,
                                         const std::optional<URLResponse>& response,
                                         const std::optional<platform::Error>& error) {
        // The web view is answered on the main thread only; the task and its state travel
        // with the completion, so a handler that went away still leaves no page waiting.
        platform::MainLoop::post([weakSelf, task, state, data = std::move(data), response, error] {
          if (auto self = weakSelf.lock()) {
            self->finish(task, state, data, response, error);
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
                                   const std::optional<std::string>& data, const std::optional<URLResponse>& response,
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
  platform::URL url = response->url().withScheme(kScheme);
  int status = response->isHTTP() ? response->statusCode() : 200;
  platform::HTTPHeaders fields = headerFieldsForWebView(response->allHeaderFields());
  if (!response->isHTTP() && !response->mimeType().empty()) fields.emplace_back("Content-Type", response->mimeType());
  task->didReceiveResponse(URLResponse::http(url, status, std::move(fields)));
  if (data && !data->empty()) task->didReceiveData(*data);
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

void VLCustomSchemeHandler::logInfo(const std::string& message) const {
  if (logger_) logger_->logInfo(message, kLogModule);
}
