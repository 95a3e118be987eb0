#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/BodyStream.h"
#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSessionConfiguration.h"

namespace platform {

class URLSession;
class URLSessionEngine;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionDownloadTask;

// What a session tells its delegate. Every call is made on the session's delegate queue (its
// own worker thread), one at a time. A delegate must not throw; what it throws is caught and
// logged.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // Each redirect the session is about to follow, for every task. The completion handler
  // takes the request to send next (the proposed one or a changed one) or nothing to stop
  // there: the task then completes with the redirect response and its body. It may be called
  // later and from any thread, once.
  virtual void willPerformHTTPRedirection(
      URLSession&, URLSessionTask&, const URLResponse& /*response*/, URLRequest newRequest,
      std::function<void(std::optional<URLRequest>)> completionHandler) {
    completionHandler(std::move(newRequest));
  }

  // The calls below are made only for tasks created without a completion handler.
  virtual void didReceiveResponse(URLSession&, URLSessionDataTask&, const URLResponse&) {}
  virtual void didReceiveData(URLSession&, URLSessionDataTask&, const std::string& /*data*/) {}
  // The file exists only during this call; move it to keep it.
  virtual void didFinishDownloading(URLSession&, URLSessionDownloadTask&,
                                    const std::string& /*location*/) {}
  virtual void didCompleteWithError(URLSession&, URLSessionTask&, const std::optional<Error>&) {}
};

// A data task hands over the whole body; on failure there is no data.
// The body is the completion's own to move on.
using URLSessionDataCompletion = std::function<void(std::optional<std::string> data,
                                                    const std::optional<URLResponse>& response,
                                                    const std::optional<Error>& error)>;
// A streamed data task hands over its final response, or the error that ended it before one.
using URLSessionStreamResponse =
    std::function<void(const std::optional<URLResponse>& response, const std::optional<Error>& error)>;
// A download task hands over the path of a temporary file under the application's tmp
// folder. The file is removed as soon as the completion returns: move it to keep it. (A task
// given a destination file hands over that file instead, and leaves it; see
// URLSessionDownloadTask::setDestinationFile.)
using URLSessionDownloadCompletion = std::function<void(const std::optional<std::string>& location,
                                                        const std::optional<URLResponse>& response,
                                                        const std::optional<Error>& error)>;

// One load of a session. Tasks start suspended; `resume` starts them. The accessors are safe
// from any thread.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

  virtual ~URLSessionTask();
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  std::uint64_t taskIdentifier() const { return identifier_; }
  URLRequest originalRequest() const;
  // The request being loaded now: after a redirect, the request of the new hop.
  URLRequest currentRequest() const;
  std::optional<URLResponse> response() const;
  std::optional<Error> error() const;
  std::string taskDescription() const;
  void setTaskDescription(std::string description);
  State state() const;

  void resume();
  // Stops the task; it completes with code -999 (NSURLErrorDomain) unless it has completed
  // already. A task cancelled before it was resumed completes too.
  void cancel();

 protected:
  enum class Kind { Data, Download };
  URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, std::uint64_t identifier,
                 URLRequest request);

 private:
  friend class URLSessionEngine;
  struct Loading;

  const Kind kind_;
  const std::uint64_t identifier_;
  const URLRequest originalRequest_;

  mutable std::mutex mutex_;
  std::shared_ptr<URLSession> session_;  // released when the task completes
  URLRequest currentRequest_;
  std::optional<URLResponse> response_;
  std::optional<Error> error_;
  std::string description_;
  State state_ = State::Suspended;

  // Touched only on the session's worker thread.
  std::unique_ptr<Loading> loading_;
};

class URLSessionDataTask final : public URLSessionTask {
 public:
  URLSessionDataTask(std::shared_ptr<URLSession> session, std::uint64_t identifier,
                     URLRequest request, URLSessionDataCompletion completion);

  // For a task with a completion handler, which keeps the whole body: a body longer than
  // this fails the task with kDataLengthExceedsMaximum rather than filling memory. Set it
  // before resume; there is no limit until then.
  void setMaximumDataLength(std::size_t bytes) { maximumDataLength_ = bytes; }
  std::size_t maximumDataLength() const { return maximumDataLength_; }

 private:
  friend class URLSessionEngine;
  friend class URLSession;
  URLSessionDataCompletion completion_;
  // A streamed task's body and the handler of its response.
  std::shared_ptr<BodyStream> stream_;
  URLSessionStreamResponse streamResponse_;
  std::atomic<std::size_t> maximumDataLength_{SIZE_MAX};
};

class URLSessionDownloadTask final : public URLSessionTask {
 public:
  URLSessionDownloadTask(std::shared_ptr<URLSession> session, std::uint64_t identifier,
                         URLRequest request, URLSessionDownloadCompletion completion);

  // Set before resume: the body is written to a new file at `path` (made by the task, readable
  // and writable by the owner only, never over anything that is already there) instead of a
  // temporary file. On success the location handed over is `path` and the file is the
  // caller's to keep or remove, also after the completion returns; a task that fails, is
  // cancelled or cannot make the file leaves nothing there. The folder must exist.
  void setDestinationFile(std::string path);
  std::string destinationFile() const;

 private:
  friend class URLSessionEngine;
  URLSessionDownloadCompletion completion_;
  mutable std::mutex destinationMutex_;
  std::string destinationFile_;
};

// A URL session: tasks over HTTP and HTTPS (libcurl) and the URL protocols of its
// configuration. Each session has one worker thread that runs its transfers and is also its
// serial delegate queue: delegate calls and completion handlers all run there, in order.
// Redirects are followed by the session, one hop at a time, each shown to the delegate. A
// session lives while the caller or any of its unfinished tasks holds it.
class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  static std::shared_ptr<URLSession> sessionWithConfiguration(
      const URLSessionConfiguration& configuration,
      std::shared_ptr<URLSessionDelegate> delegate = nullptr);
  // The process-wide session without a delegate. Its URL protocols are the globally
  // registered classes (URLProtocol::registerClass), asked most recent first.
  static std::shared_ptr<URLSession> sharedSession();

  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const;
  const std::shared_ptr<URLSessionDelegate>& delegate() const;
  // The URL protocol class a task of `request` would be handed to when it starts (the first
  // of the session's classes that takes it), or none when the session would load it itself
  // or refuse its scheme. Safe from any thread.
  URLProtocolClassRef protocolClassForRequest(const URLRequest& request) const;
  // The class the session asks first whether it takes `request`, without asking it; none when
  // the session refuses the request's scheme or has no class to ask. Safe from any thread.
  URLProtocolClassRef firstProtocolClassForRequest(const URLRequest& request) const;

  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                          URLSessionDataCompletion completion = {});
  std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url,
                                                      URLSessionDataCompletion completion = {});
  // A data task whose body flows into `body` as it arrives and is never held whole. `response`
  // is called once, on the delegate queue, with the final response (after redirects) as soon as
  // the body has filled the stream's capacity or has ended (so a body that fits is whole in the
  // stream by then, and the stream finished), or with the error that ended the task before
  // either. The rest of the body goes into the stream, which is finished, or failed with the
  // task's error, when the task completes. While the stream
  // holds its capacity unread the transfer is paused (and no inactivity time-out runs), until
  // the reader makes room; a reader that cancels the stream cancels the task. A URL protocol's
  // data, which it already holds in memory, goes in as it comes.
  std::shared_ptr<URLSessionDataTask> streamingDataTaskWithRequest(const URLRequest& request,
                                                                   std::shared_ptr<BodyStream> body,
                                                                   URLSessionStreamResponse response);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(
      const URLRequest& request, URLSessionDownloadCompletion completion = {});
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithURL(
      const URL& url, URLSessionDownloadCompletion completion = {});

  // The tasks that have not completed, oldest first, handed to `completion` on the delegate
  // queue.
  void getAllTasks(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion);

 private:
  friend class URLSessionTask;
  URLSession(const URLSessionConfiguration& configuration,
             std::shared_ptr<URLSessionDelegate> delegate, bool usesRegisteredProtocols);

  std::shared_ptr<URLSessionEngine> engine_;
};

}  // namespace platform
