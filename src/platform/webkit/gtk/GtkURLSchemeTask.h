#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/WebView.h"
#include "platform/ui/gtk/GObjectPtr.h"

namespace platform::webkit {

class GtkWebView;

// The streams WebKit is handed for a body (each a new reference). A file range (the stream owns
// `fd`) fails once the file is rewritten or cut short while it is read; a body stream is read
// as it arrives and cancelled when WebKit lets it go.
GInputStream* makeFileRangeStream(int fd, std::int64_t offset, std::int64_t length);
GInputStream* makeBodyInputStream(std::shared_ptr<BodyStream> body);

// One request of a custom scheme, answered through WebKitURISchemeResponse. A body given in
// pieces is collected until the handler finishes and then handed to WebKit, without a copy, as
// one memory stream; a file body and a body stream are read by WebKit as the page consumes them.
// Every answer is taken on the main thread; a handler that answers from another thread is
// hopped over to it. Calls after the task finished, failed or was stopped are ignored.
class GtkURLSchemeTask : public URLSchemeTask, public std::enable_shared_from_this<GtkURLSchemeTask> {
 public:
  GtkURLSchemeTask(WebKitURISchemeRequest* request, std::weak_ptr<GtkWebView> webView);
  ~GtkURLSchemeTask() override;

  const URLRequest& request() const override { return request_; }
  void didReceiveResponse(const URLResponse& response) override;
  void didReceiveData(std::string_view data) override;
  void didReceiveOwnedData(std::string data) override;
  void didFinish() override;
  void didReceiveAnswer(URLResponse response, std::string body) override;
  void didFailWithError(const Error& error) override;
  // WebKit reads the file through a stream of its own, on GIO's worker threads.
  void didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length) override;
  // WebKit reads the body as it arrives, through an asynchronous stream of its own.
  bool didReceiveBodyStream(const std::shared_ptr<BodyStream>& body) override;

  // The web view went away: WebKit is told the load was cancelled and later answers are
  // dropped.
  void stop();
  bool isDone() const { return done_; }

 private:
  // Off the main thread, posts `method` with copies of the arguments to the main thread and
  // answers true; on it, answers false and the caller goes on itself.
  template <typename... Params, typename... Args>
  bool postedToMainThread(void (GtkURLSchemeTask::*method)(Params...), const Args&... args);
  void finishWithError(GError* error);
  // Hands WebKit the response with `body` (of `length` bytes) as its content.
  void finishWithStream(GInputStream* body, gint64 length);
  // The same with the whole body in memory, which the stream takes over.
  void finishWithBody(std::string body);
  void ended();

  platform::gtk::GObjectPtr<WebKitURISchemeRequest> schemeRequest_;
  std::weak_ptr<GtkWebView> webView_;
  URLRequest request_;
  std::optional<URLResponse> response_;
  std::string body_;
  bool done_ = false;
};

}  // namespace platform::webkit
