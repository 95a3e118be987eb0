#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "appcache/VLWebResponse.h"
#include "platform/net/HTTPHeaders.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSession.h"
#include "platform/webkit/WebView.h"

class VLLoggerProtocol;

// Serves the web view's "veltro" requests: each becomes the same request over HTTPS, run as a
// data task of a session made from the shell's session factory, whose URL protocols (the
// loader first) answer cached and packaged resources on the device. The answer goes back to
// the web view under the "veltro" scheme, on the main thread.
//
// Only GET and HEAD are served (HEAD as a GET whose body is left out); any other method gets
// a 404 without a request being made. A single byte range is answered with 206 (416 past the
// end) when the answer is the whole file. Only the host "DefaultHostname" names (with its
// port) is served; a request for any other fails. Redirects are followed only while they stay
// on the request's scheme, host and port; a load that would leave them fails. Cookies go with
// a request only when it comes from the application's own page (the page rule). Every answer
// carries "Cross-Origin-Resource-Policy: same-origin" and "X-Content-Type-Options: nosniff".
// A task the web view stopped is never answered afterwards, whenever its data task completes.
//
// Bodies are never held whole when they are large: a cached or packaged file of more than
// VLWebResponse::kWholeBodyLimit is handed to the task as its opened descriptor (a range as the
// part of it to read), and a server's answer that does not fit in a body stream's capacity is
// handed on as it arrives, its transfer paused while the page reads slower. A stopped task
// cancels its stream. Small bodies (the common case) are answered whole, as one piece.
//
// A request the loader's URL protocol owns (the first of the session's protocols that takes
// it) does not go through the session. When the loader can answer it on the main thread
// without waiting (a cached file the kernel holds in memory, no lock held elsewhere while
// the disk works), it answers there at once, up to kInPlacePerTurn requests in one turn of the
// main loop (the rest of a burst is read side by side on the serving threads). Otherwise one job off the main thread runs the
// loader there and builds the answer, and one job back hands the web view the response, the
// body and the end together. Every other request is a data task of the session, as above.
//
// Main thread only, as the web view calls it; answers hop there.
class VLCustomSchemeHandler : public platform::webkit::URLSchemeHandler,
                              public std::enable_shared_from_this<VLCustomSchemeHandler> {
 public:
  static constexpr const char* kScheme = "veltro";
  static constexpr const char* kLogModule = "VLWKWebView";

  VLCustomSchemeHandler();
  ~VLCustomSchemeHandler() override;

  // The session of the application page's requests, made on first use from the factory's
  // default configuration (with the shared cookie store).
  std::shared_ptr<platform::URLSession> downloadSession();
  void setDownloadSession(std::shared_ptr<platform::URLSession> session) { downloadSession_ = std::move(session); }
  // The session of every other request: the same, without cookies either way.
  std::shared_ptr<platform::URLSession> anonymousSession();
  void setAnonymousSession(std::shared_ptr<platform::URLSession> session) { anonymousSession_ = std::move(session); }

  // The host (and port) served, "DefaultHostname"; empty serves nothing.
  void setDefaultHostname(std::string hostname);
  const std::string& defaultHostname() const { return defaultHostname_; }
  // Whether a request comes from the application's own page (main thread).
  using PageRule = std::function<bool(const platform::webkit::WebView&, const platform::URLRequest&)>;
  void setPageRule(PageRule rule) { pageRule_ = std::move(rule); }

  // Whether `url` has the scheme, host and port of `origin` (ports by their defaults).
  static bool isSameOrigin(const platform::URL& url, const platform::URL& origin);
  // The session's answer as the web view is given it, for the request's method and "Range".
  // False when the answer cannot be given (it left the request's origin); `refusal` says why.
  static bool answerForWebView(const platform::URLRequest& request, const platform::URL& converted,
                               const platform::URLResponse& response, std::string& body,
                               platform::URLResponse& answer, std::string& refusal);
  // What of a body that is not in memory (a file, a server's answer as it arrives) answers the
  // request: `length` bytes from `offset` (no length: all there is, of a body whose size is
  // unknown), none at all when `sendsBody` is false (HEAD, 416).
  struct BodyPart {
    std::int64_t offset = 0;
    std::optional<std::int64_t> length;
    bool sendsBody = true;
  };
  // The same for such a body of `size` bytes (unknown: nullopt, when a range cannot be cut
  // from it and the whole body answers).
  static bool answerForWebView(const platform::URLRequest& request, const platform::URL& converted,
                               const platform::URLResponse& response, std::optional<std::int64_t> size,
                               BodyPart& part, platform::URLResponse& answer, std::string& refusal);

  // Sets "Referer" to the HTTPS origin of `referrer` when the option is on.
  void setRefererHeaderIfEnabled(platform::URLRequest& request) const;
  // The HTTPS request that stands for a scheme request: the URL with the scheme "https", the
  // method and every header field, "veltro://" in a value becoming "https://". No body.
  platform::URLRequest convertToHTTPProtocol(const platform::URLRequest& request) const;
  // The header fields the web view is given: the session has already decoded the body, so
  // the fields that describe the encoded body on the wire do not go with it.
  static platform::HTTPHeaders headerFieldsForWebView(const platform::HTTPHeaders& fields);
  // The same conversion with the Referer value given (none: the option is off).
  static platform::URLRequest convertedRequest(const platform::URLRequest& request,
                                               const std::optional<std::string>& referer);

  void startURLSchemeTask(platform::webkit::WebView& webView,
                          const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;
  void stopURLSchemeTask(platform::webkit::WebView& webView,
                         const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;

  void setLogger(std::shared_ptr<VLLoggerProtocol> logger) { logger_ = std::move(logger); }
  const std::string& referrer() const { return referrer_; }
  void setReferrer(std::string referrer) { referrer_ = std::move(referrer); }
  bool isReferrerHeaderEnabled() const { return referrerHeaderEnabled_; }
  void setReferrerHeaderEnabled(bool enabled) { referrerHeaderEnabled_ = enabled; }
  // The threads that take the requests off the main thread: few, so that a burst of requests
  // keeps them busy instead of waking a thread for each. Nothing on them waits on the network:
  // the cache heals a missing file on the global queue.
  static constexpr size_t kServingThreads = 2;
  // The most requests answered on the main thread in one turn of its loop.
  static constexpr size_t kInPlacePerTurn = 16;
  // Tasks whose data task has not answered yet.
  size_t runningCount() const { return running_.size(); }

 private:
  // What the platform keeps on the task object itself: its data task and the stopped flag.
  // The task is started off the main thread and stopped on it, hence the lock.
  struct TaskState {
    std::mutex mutex;
    std::shared_ptr<platform::URLSessionDataTask> dataTask;
    bool stopped = false;
  };
  // What the loading gave as the body: in memory, an opened file, or a stream of a server's
  // answer (with its stated length, when known).
  struct Loaded {
    std::string data;
    std::shared_ptr<VLFileBody> file;
    std::shared_ptr<platform::BodyStream> stream;
    std::optional<std::int64_t> streamLength;
    static Loaded of(VLWebResponse&& answer);
  };
  // Answers on their way to the main thread (see the source).
  class AnswerInbox;
  // What the web view is given for a task: a response with its body, or a failure.
  struct Answer {
    std::optional<platform::URLResponse> response;
    std::string body;
    std::optional<platform::Error> error;
    // A body not in memory, and the part of it to send.
    std::shared_ptr<VLFileBody> file;
    std::shared_ptr<platform::BodyStream> stream;
    BodyPart part;
    // An answer that will not be given stops its stream (a file closes by itself).
    void drop() {
      if (stream) stream->cancel();
    }
  };
  // The answer to `request` from what the loading gave (any thread; refusals are logged).
  static Answer answerFor(const platform::URLRequest& request, const platform::URL& converted,
                          Loaded loaded, const std::optional<platform::URLResponse>& response,
                          const std::optional<platform::Error>& error,
                          const std::shared_ptr<VLLoggerProtocol>& logger);
  // Off the main thread: runs the loader in place when it owns the request, else starts the
  // session's data task. `done` is called once, from any thread, with the answer.
  static void load(platform::URLRequest converted, const std::shared_ptr<platform::URLSession>& session,
                   const std::shared_ptr<TaskState>& state, std::function<void(Answer)> done,
                   const std::shared_ptr<VLLoggerProtocol>& logger,
                   const std::shared_ptr<const platform::webkit::URLSchemeTask>& task);
  // The HTTPS request the loading gets (a HEAD asked as a GET).
  static platform::URLRequest loadedRequest(const platform::URLRequest& request,
                                            const std::optional<std::string>& referer);
  static void logConversion(const platform::URLRequest& request, const platform::URLRequest& converted, bool ownPage,
                            const std::shared_ptr<VLLoggerProtocol>& logger);
  // On the main thread: answers the task when the loader owns the request and answers it
  // without waiting; false (nothing answered) otherwise.
  bool answerInPlace(const std::shared_ptr<platform::webkit::URLSchemeTask>& task, const platform::URLSession& session,
                     const std::optional<std::string>& referer, bool ownPage);
  void finish(const std::shared_ptr<platform::webkit::URLSchemeTask>& task,
              const std::shared_ptr<TaskState>& state, Answer answer);
  void answerTask(const std::shared_ptr<platform::webkit::URLSchemeTask>& task, Answer answer);
  void logInfo(const std::string& message) const;
  static void logRefusal(const std::string& message, const std::shared_ptr<VLLoggerProtocol>& logger);

  std::shared_ptr<VLLoggerProtocol> logger_;
  std::shared_ptr<platform::URLSession> downloadSession_;
  std::shared_ptr<platform::URLSession> anonymousSession_;
  std::string defaultHostname_;
  std::optional<platform::URL> servedOrigin_;  // "veltro://" and the hostname, parsed once
  PageRule pageRule_;
  std::string referrer_;
  bool referrerHeaderEnabled_ = false;
  std::map<const platform::webkit::URLSchemeTask*, std::shared_ptr<TaskState>> running_;
  // Tasks answered with a body stream that may still be read: stopping one cancels it.
  struct Streaming {
    std::weak_ptr<platform::webkit::URLSchemeTask> task;
    std::weak_ptr<platform::BodyStream> stream;
  };
  std::map<const platform::webkit::URLSchemeTask*, Streaming> streaming_;
  std::shared_ptr<AnswerInbox> answers_;
  size_t answeredInPlace_ = 0;  // in this turn of the main loop
};
