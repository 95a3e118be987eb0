#include "appcache/VLCustomSchemeHandler.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "appcache/VLHarborLoaderURLProtocol.h"
#include "host/HBRURLSchemeHandler.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NoWait.h"
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

namespace {

// The threads that serve "veltro" requests off the main thread, and what they have answered.
// A thread that has more requests waiting holds its answers back, up to kHeldAnswers, and
// hands them to the main loop together when its queue runs dry or the limit is reached: under
// a burst the main loop wakes once for many answers, while a lone request is answered at once.
class ServingLane {
 public:
  static constexpr size_t kHeldAnswers = 8;

  static ServingLane& shared() {
    // Never destroyed: requests may still be served while static objects go.
    static auto* lane = new ServingLane(VLCustomSchemeHandler::kServingThreads);
    return *lane;
  }

  void async(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  // On a serving thread with more requests waiting and fewer answers held than the limit:
  // counts one more answer held and answers true. Elsewhere: false. A thread that reaches
  // the limit lets its answers go after the request it is serving.
  static bool holdsAnswer() {
    if (tLane == nullptr || tLane->waiting_.load(std::memory_order_relaxed) == 0 || tHeldAnswers >= kHeldAnswers)
      return false;
    ++tHeldAnswers;
    return true;
  }
  // Runs `wake` when the thread lets its held answers go.
  static void onRelease(std::function<void()> wake) { tWakes.push_back(std::move(wake)); }

 private:
  explicit ServingLane(size_t threads) {
    for (size_t i = 0; i < threads; ++i) std::thread([this] { run(); }).detach();
  }

  void run() {
    tLane = this;
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        if (jobs_.empty()) {
          // Nothing more to wait for: what is held goes out before the thread sleeps.
          lock.unlock();
          release();
          lock.lock();
        }
        wake_.wait(lock, [&] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
        waiting_.store(jobs_.size(), std::memory_order_relaxed);
      }
      try {
        job();
      } catch (...) {
        platform::log("ERROR: A \"veltro\" request failed on its serving thread.");
      }
      job = nullptr;
      if (tHeldAnswers >= kHeldAnswers) release();
    }
  }

  static void release() {
    tHeldAnswers = 0;
    std::vector<std::function<void()>> wakes;
    wakes.swap(tWakes);
    for (auto& wake : wakes) wake();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<size_t> waiting_{0};
  static thread_local ServingLane* tLane;
  static thread_local std::vector<std::function<void()>> tWakes;
  static thread_local size_t tHeldAnswers;
};

thread_local ServingLane* ServingLane::tLane = nullptr;
thread_local std::vector<std::function<void()>> ServingLane::tWakes;
thread_local size_t ServingLane::tHeldAnswers = 0;

}  // namespace

// Answers on their way to the main thread: one main-loop job takes every answer that is
// waiting when it runs, so answers that arrive together wake the main loop once.
class VLCustomSchemeHandler::AnswerInbox : public std::enable_shared_from_this<AnswerInbox> {
 public:
  void post(std::function<void()> answer) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(answer));
      wake = !posted_;
      posted_ = true;
    }
    // An answer that finds a wake-up on its way (sent, or held by a serving thread) rides
    // with it; otherwise its own goes out now, or when the serving thread lets its held
    // answers go.
    const bool held = ServingLane::holdsAnswer();
    if (!wake) return;
    if (held)
      ServingLane::onRelease([inbox = shared_from_this()] { inbox->wakeMainLoop(); });
    else
      wakeMainLoop();
  }

 private:
  void wakeMainLoop() {
    platform::MainLoop::post([inbox = shared_from_this()] { inbox->deliver(); });
  }
  void deliver() {
    std::vector<std::function<void()>> ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(waiting_);
      posted_ = false;
    }
    for (auto& answer : ready) {
      try {
        answer();
      } catch (const std::exception& exception) {
        platform::log(std::string("ERROR: Failed to answer a \"veltro\" request: ") + exception.what());
      }
    }
  }

  std::mutex mutex_;
  std::vector<std::function<void()>> waiting_;
  bool posted_ = false;
};

VLCustomSchemeHandler::VLCustomSchemeHandler() : answers_(std::make_shared<AnswerInbox>()) {}

VLCustomSchemeHandler::~VLCustomSchemeHandler() = default;

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
  BodyPart part;
  if (!answerForWebView(request, converted, response, static_cast<std::int64_t>(body.size()), part, answer, refusal))
    return false;
  if (!part.sendsBody)
    body.clear();
  else if (part.offset != 0 || part.length.value_or(0) != static_cast<std::int64_t>(body.size()))
    body = body.substr(static_cast<size_t>(part.offset), static_cast<size_t>(part.length.value_or(0)));
  return true;
}

bool VLCustomSchemeHandler::answerForWebView(const URLRequest& request, const platform::URL& converted,
                                             const URLResponse& response, std::optional<std::int64_t> size,
                                             BodyPart& part, URLResponse& answer, std::string& refusal) {
  int status = response.isHTTP() ? response.statusCode() : 200;
  auto location = response.valueForHTTPHeaderField("Location");
  if (isRedirect(status) && location) {
    refusal = "Refused the redirect of " + request.url().absoluteString() + " to " + *location +
              ": it leaves the request's scheme, host and port.";
    return false;
  }
  // An answer for exactly the URL asked for is on its origin, and shows the request's own URL.
  const bool asked = response.url() == converted;
  if (!asked && !isSameOrigin(response.url(), converted)) {
    refusal = "Refused the answer to " + request.url().absoluteString() + ": it came from " +
              response.url().absoluteString() + ", not from the request's scheme, host and port.";
    return false;
  }
  platform::HTTPHeaders fields = headerFieldsForWebView(response.allHeaderFields());
  if (!response.isHTTP() && !response.mimeType().empty()) fields.emplace_back("Content-Type", response.mimeType());
  part = BodyPart{0, size, true};
  // The whole file answers a range as the application scheme would: the part asked for. A
  // body whose size is not known answers whole, as a server that ignores ranges does.
  if (status == 200 && size) {
    replaceField(fields, "Accept-Ranges", "bytes");
    if (auto range = request.valueForHTTPHeaderField("Range")) {
      bool satisfiable = true;
      if (auto asked = HBRURLSchemeHandler::parseRange(*range, *size, satisfiable)) {
        status = 206;
        replaceField(fields, "Content-Range",
                     platform::stringf("bytes %lld-%lld/%lld", static_cast<long long>(asked->offset),
                                       static_cast<long long>(asked->offset + asked->length - 1),
                                       static_cast<long long>(*size)));
        part.offset = asked->offset;
        part.length = asked->length;
      } else if (!satisfiable) {
        status = 416;
        replaceField(fields, "Content-Range", platform::stringf("bytes */%lld", static_cast<long long>(*size)));
        part.length = 0;
        part.sendsBody = false;
      }
    }
  }
  if (part.length) fields.emplace_back("Content-Length", std::to_string(*part.length));
  if (platform::equalsIgnoreCase(request.httpMethod(), "HEAD")) part.sendsBody = false;
  HBRURLSchemeHandler::addApplicationAnswerHeaders(fields);
  answer = URLResponse::http(asked && request.url().scheme() == kScheme ? request.url() : response.url().withScheme(kScheme),
                             status, std::move(fields));
  return true;
}

void VLCustomSchemeHandler::setRefererHeaderIfEnabled(URLRequest& request) const {
  if (referrerHeaderEnabled_) request.setValue("https://" + referrer_, "Referer");
}

URLRequest VLCustomSchemeHandler::convertToHTTPProtocol(const URLRequest& request) const {
  std::optional<std::string> referer;
  if (referrerHeaderEnabled_) referer = "https://" + referrer_;
  return convertedRequest(request, referer);
}

URLRequest VLCustomSchemeHandler::convertedRequest(const URLRequest& request, const std::optional<std::string>& referer) {
  URLRequest converted(request.url().withScheme("https"));
  converted.setHTTPMethod(request.httpMethod());
  for (const auto& [name, value] : request.allHTTPHeaderFields())
    converted.setValue(withHTTPSOrigins(value), name);
  if (referer) converted.setValue(*referer, "Referer");
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
  const std::string& method = request.httpMethod();
  if (!method.empty() && method != "GET" && method != "HEAD") {
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
    task->didFailWithError(platform::urlerror::make(platform::urlerror::kCannotFindHost, &task->request().url()));
    return;
  }

  // The page rule asks the web view, which only the main thread may.
  bool ownPage = pageRule_ && pageRule_(webView, request);
  auto session = ownPage ? downloadSession() : anonymousSession();
  std::optional<std::string> referer;
  if (referrerHeaderEnabled_) referer = "https://" + referrer_;
  // A burst (requests started in one turn of the main loop, before it runs again) is answered
  // here only up to a few: the rest go to the serving threads, which read them side by side
  // while this thread goes on starting them.
  if (answeredInPlace_ < kInPlacePerTurn && answerInPlace(task, *session, referer, ownPage)) {
    if (answeredInPlace_++ == 0)
      platform::MainLoop::post([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->answeredInPlace_ = 0;
      });
    return;
  }
  auto state = std::make_shared<TaskState>();
  running_[task.get()] = state;
  // The web view is answered on the main thread only; the task and its state travel with the
  // answer, so a handler that went away still leaves no page waiting.
  // Answered once: whatever throws on the serving thread still leaves the page an answer.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto done = [weakSelf = weak_from_this(), task, state, inbox = answers_, answered](Answer answer) {
    if (answered->exchange(true)) return;
    inbox->post([weakSelf, task, state, answer = std::move(answer)]() mutable {
      if (auto self = weakSelf.lock()) {
        self->finish(task, state, std::move(answer));
        return;
      }
      answer.drop();
      {
        std::lock_guard lock(state->mutex);
        if (state->stopped) return;
      }
      task->didFailWithError(answer.error ? *answer.error
                                          : platform::urlerror::make(platform::urlerror::kCancelled,
                                                                     &task->request().url()));
    });
  };
  // Everything else happens off the main thread, with what it needs of the handler taken
  // here. The task's request never changes, so the serving thread reads it where it is.
  ServingLane::shared().async([task, session = std::move(session), state, done = std::move(done), logger = logger_,
                               referer = std::move(referer), ownPage]() mutable {
    const URLRequest& request = task->request();
    try {
      URLRequest converted = loadedRequest(request, referer);
      logConversion(request, converted, ownPage, logger);
      load(std::move(converted), session, state, done, logger, task);
    } catch (...) {
      platform::log("ERROR: A \"veltro\" request failed on its serving thread: " + request.url().absoluteString());
      Answer failed;
      failed.error = platform::urlerror::make(platform::urlerror::kUnknown, &request.url(),
                                              "the request failed on its serving thread");
      done(std::move(failed));
    }
  });
}

URLRequest VLCustomSchemeHandler::loadedRequest(const URLRequest& request, const std::optional<std::string>& referer) {
  URLRequest converted = convertedRequest(request, referer);
  // A HEAD is answered from the GET's answer, which the cache and the package can give.
  if (request.httpMethod() == "HEAD") converted.setHTTPMethod("GET");
  return converted;
}

void VLCustomSchemeHandler::logConversion(const URLRequest& request, const URLRequest& converted, bool ownPage,
                                          const std::shared_ptr<VLLoggerProtocol>& logger) {
  if (!logger) return;
  logger->logDebug("Original request: " + request.url().absoluteString(), kLogModule);
  logger->logDebug("Converted request: " + converted.url().absoluteString(), kLogModule);
  if (!ownPage)
    logger->logDebug("Without cookies: " + request.url().absoluteString() + " is not the application page's own",
                     kLogModule);
}

bool VLCustomSchemeHandler::answerInPlace(const std::shared_ptr<URLSchemeTask>& task,
                                          const platform::URLSession& session,
                                          const std::optional<std::string>& referer, bool ownPage) {
  static const platform::URLProtocolClassRef loader = platform::protocolClass<VLHarborLoaderURLProtocol>();
  const URLRequest& request = task->request();
  Answer answer;
  try {
    URLRequest converted = loadedRequest(request, referer);
    // Only what the serving thread would hand the loader: the session asks it first and it
    // takes the request.
    if (session.firstProtocolClassForRequest(converted) != loader) return false;
    // The loader's answer counts only when it comes before the scope closes: one that came
    // later, from another thread, would find the request already handed on.
    struct Given {
      std::mutex mutex;
      bool open = true;
      std::optional<VLWebResponse> answer;
    };
    auto given = std::make_shared<Given>();
    {
      platform::nowait::Scope scope;
      if (!loader->canInitWithRequest(converted) || scope.gaveUp()) return false;
      VLHarborLoaderURLProtocol::answerRequest(loader->canonicalRequestForRequest(converted), true,
                                               [given](VLWebResponse made) {
                                                 std::lock_guard lock(given->mutex);
                                                 if (given->open && !given->answer) given->answer = std::move(made);
                                               });
      std::lock_guard lock(given->mutex);
      given->open = false;
      if (scope.gaveUp() || !given->answer) return false;
    }
    logConversion(request, converted, ownPage, logger_);
    std::optional<URLResponse> response = given->answer->takeResponse();
    answer = answerFor(request, converted.url(), Loaded::of(std::move(*given->answer)), response, std::nullopt, logger_);
  } catch (...) {
    // Nothing answered yet: the serving thread tries again.
    return false;
  }
  try {
    answerTask(task, std::move(answer));
  } catch (const std::exception& exception) {
    platform::log(std::string("ERROR: Failed to answer a \"veltro\" request: ") + exception.what());
  }
  return true;
}

void VLCustomSchemeHandler::load(URLRequest converted, const std::shared_ptr<platform::URLSession>& session,
                                 const std::shared_ptr<TaskState>& state, std::function<void(Answer)> done,
                                 const std::shared_ptr<VLLoggerProtocol>& logger,
                                 const std::shared_ptr<const URLSchemeTask>& task) {
  {
    std::lock_guard lock(state->mutex);
    if (state->stopped) return;
  }
  platform::URL convertedURL = converted.url();
  // The task's request never changes: the completion reads it where it is, on any thread.
  auto complete = [task, convertedURL, done = std::move(done), logger](
                      Loaded loaded, const std::optional<URLResponse>& response,
                      const std::optional<platform::Error>& error) {
    done(answerFor(task->request(), convertedURL, std::move(loaded), response, error, logger));
  };
  // The loader is asked as the session would ask it: only when it is the first of the
  // session's protocols to take the request. Then it answers here, as it would have answered
  // the session's protocol client: its response, its body and the end, at once.
  static const platform::URLProtocolClassRef loader = platform::protocolClass<VLHarborLoaderURLProtocol>();
  if (session->protocolClassForRequest(converted) == loader) {
    // Answered once, also when the loader throws.
    struct Once {
      explicit Once(decltype(complete) made) : run(std::move(made)) {}
      decltype(complete) run;
      std::atomic<bool> called{false};
    };
    auto once = std::make_shared<Once>(std::move(complete));
    try {
      VLHarborLoaderURLProtocol::answerRequest(
          loader->canonicalRequestForRequest(converted), true, [once](VLWebResponse answer) {
            if (once->called.exchange(true)) return;
            std::optional<URLResponse> response = answer.takeResponse();
            once->run(Loaded::of(std::move(answer)), response, std::nullopt);
          });
    } catch (...) {
      // What failed while the answer was being made goes to the caller, which still answers.
      if (once->called.exchange(true)) throw;
      once->run(Loaded{}, std::nullopt,
                platform::urlerror::make(platform::urlerror::kUnknown, &convertedURL,
                                         "the URL protocol failed to start"));
    }
    return;
  }
  // The server's answer comes as it arrives: whole when it fits in the stream (the common
  // case), else as the stream, which the web view reads as the page consumes it.
  auto stream = std::make_shared<platform::BodyStream>();
  auto dataTask = session->streamingDataTaskWithRequest(
      converted, stream,
      [stream, complete = std::move(complete)](const std::optional<URLResponse>& response,
                                               const std::optional<platform::Error>& error) {
        Loaded loaded;
        if (response && !error) {
          if (!stream->takeWholeIfFinished(loaded.data)) {
            loaded.stream = stream;
            loaded.streamLength = vlStatedLength(*response);
          }
        } else {
          stream->cancel();
        }
        complete(std::move(loaded), response, error);
      });
  {
    std::lock_guard lock(state->mutex);
    if (state->stopped) return;
    state->dataTask = dataTask;
  }
  dataTask->resume();
}

VLCustomSchemeHandler::Answer VLCustomSchemeHandler::answerFor(const URLRequest& request,
                                                               const platform::URL& converted,
                                                               Loaded loaded,
                                                               const std::optional<URLResponse>& response,
                                                               const std::optional<platform::Error>& error,
                                                               const std::shared_ptr<VLLoggerProtocol>& logger) {
  Answer answer;
  if (error || !response) {
    if (loaded.stream) loaded.stream->cancel();
    answer.error = error ? *error : platform::urlerror::make(platform::urlerror::kBadServerResponse, &request.url());
    return answer;
  }
  URLResponse given;
  std::string refusal;
  bool answered;
  if (loaded.file || loaded.stream) {
    std::optional<std::int64_t> size = loaded.file ? std::optional(loaded.file->size()) : loaded.streamLength;
    answered = answerForWebView(request, converted, *response, size, answer.part, given, refusal);
    answer.file = std::move(loaded.file);
    answer.stream = std::move(loaded.stream);
  } else {
    answer.body = std::move(loaded.data);
    answered = answerForWebView(request, converted, *response, answer.body, given, refusal);
  }
  if (!answered) {
    logRefusal(refusal, logger);
    answer.drop();
    answer = Answer{};
    answer.error = platform::urlerror::make(platform::urlerror::kBadServerResponse, &request.url(), refusal);
    return answer;
  }
  answer.response = std::move(given);
  return answer;
}

VLCustomSchemeHandler::Loaded VLCustomSchemeHandler::Loaded::of(VLWebResponse&& answer) {
  Loaded loaded;
  loaded.file = answer.file();
  loaded.stream = answer.stream();
  loaded.streamLength = answer.streamLength();
  loaded.data = std::move(answer).data();
  return loaded;
}

void VLCustomSchemeHandler::finish(const std::shared_ptr<URLSchemeTask>& task, const std::shared_ptr<TaskState>& state,
                                   Answer answer) {
  auto it = running_.find(task.get());
  if (it != running_.end() && it->second == state) running_.erase(it);
  {
    std::lock_guard lock(state->mutex);
    state->dataTask.reset();
    if (state->stopped) {
      answer.drop();
      return;
    }
  }
  answerTask(task, std::move(answer));
}

void VLCustomSchemeHandler::answerTask(const std::shared_ptr<URLSchemeTask>& task, Answer answer) {
  if (answer.error || !answer.response) {
    answer.drop();
    task->didFailWithError(answer.error ? *answer.error
                                        : platform::urlerror::make(platform::urlerror::kBadServerResponse,
                                                                   &task->request().url()));
    return;
  }
  if (answer.file) {
    task->didReceiveResponse(*answer.response);
    if (!answer.part.sendsBody || answer.part.length.value_or(0) <= 0) {
      task->didFinish();
      return;
    }
    // The task reads the part asked for from the descriptor, as the page consumes it.
    task->didReceiveFileBody(answer.file->release(), answer.part.offset, *answer.part.length);
    return;
  }
  if (answer.stream) {
    if (!answer.part.sendsBody) {
      answer.stream->cancel();
      task->didReceiveResponse(*answer.response);
      task->didFinish();
      return;
    }
    if (answer.part.length) answer.stream->setWindow(static_cast<std::uint64_t>(answer.part.offset),
                                                     static_cast<std::uint64_t>(*answer.part.length));
    // Kept until the task is stopped or the stream goes: a stopped task stops its stream.
    std::erase_if(streaming_, [](const auto& entry) {
      return entry.second.task.expired() || entry.second.stream.expired();
    });
    streaming_[task.get()] = Streaming{task, answer.stream};
    task->didReceiveResponse(*answer.response);
    platform::webkit::answerWithBodyStream(task, std::move(answer.stream));
    return;
  }
  task->didReceiveAnswer(std::move(*answer.response), std::move(answer.body));
}

void VLCustomSchemeHandler::stopURLSchemeTask(platform::webkit::WebView&, const std::shared_ptr<URLSchemeTask>& task) {
  logInfo("Stopped loading URL: " + task->request().url().absoluteString());
  if (auto streaming = streaming_.find(task.get()); streaming != streaming_.end()) {
    auto stream = streaming->second.stream.lock();
    if (streaming->second.task.lock() == task && stream) stream->cancel();
    streaming_.erase(streaming);
  }
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

void VLCustomSchemeHandler::logRefusal(const std::string& message, const std::shared_ptr<VLLoggerProtocol>& logger) {
  // Also before the logger is configured: a refused load never goes unexplained.
  platform::log("ERROR: " + message);
  if (logger) logger->logError(message, kLogModule, nullptr, std::nullopt);
}

void VLCustomSchemeHandler::logInfo(const std::string& message) const {
  if (logger_) logger_->logInfo(message, kLogModule);
}
