#include "platform/webkit/gtk/GtkURLSchemeTask.h"

#include <libsoup/soup.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/gtk/GtkRequest.h"
#include "platform/webkit/gtk/GtkWebView.h"

// A stream of one byte range of an open file, read with pread. It is not pollable, so GIO
// runs its asynchronous reads on worker threads: a slow disk never holds the main thread.
struct VeltroFileRangeStream {
  GInputStream parent;
  int fd;
  gint64 offset;
  gint64 remaining;
  // The file as it was when the stream was made: one rewritten or cut short meanwhile ends the
  // stream with an error rather than with bytes of two versions.
  platform::fs::FileVersion* version;
};
struct VeltroFileRangeStreamClass {
  GInputStreamClass parent_class;
};

G_DEFINE_TYPE(VeltroFileRangeStream, veltro_file_range_stream, G_TYPE_INPUT_STREAM)

static gssize veltroFileRangeRead(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable,
                                  GError** error) {
  auto* self = reinterpret_cast<VeltroFileRangeStream*>(stream);
  if (g_cancellable_set_error_if_cancelled(cancellable, error)) return -1;
  if (self->remaining <= 0 || self->fd < 0) return 0;
  gsize want = std::min<gsize>(count, static_cast<gsize>(self->remaining));
  ssize_t got;
  do {
    got = ::pread(self->fd, buffer, want, static_cast<off_t>(self->offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    int code = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(code), "Cannot read the file: %s", g_strerror(code));
    return -1;
  }
  // What was read counts only while the file is still the one the answer began with; a file
  // that ends before the length promised has changed too.
  if (got == 0 || (self->version && !self->version->isCurrent(self->fd))) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "The file changed while it was served");
    self->remaining = 0;
    return -1;
  }
  self->offset += got;
  self->remaining -= got;
  return got;
}

static gboolean veltroFileRangeClose(GInputStream* stream, GCancellable*, GError**) {
  auto* self = reinterpret_cast<VeltroFileRangeStream*>(stream);
  if (self->fd >= 0) ::close(self->fd);
  self->fd = -1;
  return TRUE;
}

static void veltroFileRangeFinalize(GObject* object) {
  veltroFileRangeClose(G_INPUT_STREAM(object), nullptr, nullptr);
  auto* self = reinterpret_cast<VeltroFileRangeStream*>(object);
  delete self->version;
  self->version = nullptr;
  G_OBJECT_CLASS(veltro_file_range_stream_parent_class)->finalize(object);
}

static void veltro_file_range_stream_class_init(VeltroFileRangeStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = veltroFileRangeFinalize;
  G_INPUT_STREAM_CLASS(klass)->read_fn = veltroFileRangeRead;
  G_INPUT_STREAM_CLASS(klass)->close_fn = veltroFileRangeClose;
}

static void veltro_file_range_stream_init(VeltroFileRangeStream* self) {
  self->fd = -1;
  self->offset = 0;
  self->remaining = 0;
  self->version = nullptr;
}

// A stream of a body that arrives as the handler gets it (platform::BodyStream). WebKit reads
// it asynchronously: a read that finds nothing waits, without a thread, until the body's
// readable callback completes it, so a slow server holds no worker thread. A stream WebKit
// lets go or cancels cancels the body, which stops its maker.
struct VeltroBodyStream;
namespace {
struct PendingRead {
  GTask* task = nullptr;
  void* buffer = nullptr;
  gsize count = 0;
  GCancellable* cancellable = nullptr;
  gulong cancelHandler = 0;
};
struct BodyStreamState {
  std::shared_ptr<platform::BodyStream> body;
  std::mutex mutex;
  std::optional<PendingRead> pending;
};
}  // namespace

struct VeltroBodyStream {
  GInputStream parent;
  BodyStreamState* state;
};
struct VeltroBodyStreamClass {
  GInputStreamClass parent_class;
};

G_DEFINE_TYPE(VeltroBodyStream, veltro_body_stream, G_TYPE_INPUT_STREAM)

static gssize veltroBodyRead(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable,
                             GError** error) {
  auto* state = reinterpret_cast<VeltroBodyStream*>(stream)->state;
  for (;;) {
    if (g_cancellable_set_error_if_cancelled(cancellable, error)) return -1;
    size_t got = 0;
    switch (state->body->readWaiting(static_cast<char*>(buffer), count, got, std::chrono::milliseconds(200))) {
      case platform::BodyStream::Read::Data:
        return static_cast<gssize>(got);
      case platform::BodyStream::Read::Ended:
        return 0;
      case platform::BodyStream::Read::Failed:
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED,
                            state->body->error().value_or(platform::Error{}).localizedDescription().c_str());
        return -1;
      case platform::BodyStream::Read::Waiting:
        continue;
    }
  }
}

// Completes the pending read when the body has something for it (any thread).
static void veltroBodyTryComplete(BodyStreamState* state) {
  std::unique_lock lock(state->mutex);
  if (!state->pending) return;
  size_t got = 0;
  auto result = state->body->read(static_cast<char*>(state->pending->buffer), state->pending->count, got);
  if (result == platform::BodyStream::Read::Waiting) return;
  PendingRead pending = *state->pending;
  state->pending.reset();
  lock.unlock();
  if (pending.cancellable) {
    g_cancellable_disconnect(pending.cancellable, pending.cancelHandler);
    g_object_unref(pending.cancellable);
  }
  if (result == platform::BodyStream::Read::Data)
    g_task_return_int(pending.task, static_cast<gssize>(got));
  else if (result == platform::BodyStream::Read::Ended)
    g_task_return_int(pending.task, 0);
  else
    g_task_return_new_error(pending.task, G_IO_ERROR, G_IO_ERROR_FAILED, "%s",
                            state->body->error().value_or(platform::Error{}).localizedDescription().c_str());
  g_object_unref(pending.task);
}

static void veltroBodyCancelled(GCancellable*, gpointer data) {
  auto* state = reinterpret_cast<VeltroBodyStream*>(data)->state;
  std::unique_lock lock(state->mutex);
  if (!state->pending) return;
  PendingRead pending = *state->pending;
  state->pending.reset();
  lock.unlock();
  // The handler stays connected until the cancellable goes (it may not disconnect itself); it
  // holds its own reference to the stream.
  if (pending.cancellable) g_object_unref(pending.cancellable);
  g_task_return_new_error(pending.task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "The load was cancelled");
  g_object_unref(pending.task);
}

static void veltroBodyReadAsync(GInputStream* stream, void* buffer, gsize count, int priority,
                                GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
  auto* state = reinterpret_cast<VeltroBodyStream*>(stream)->state;
  GTask* task = g_task_new(stream, cancellable, callback, data);
  g_task_set_priority(task, priority);
  {
    std::lock_guard lock(state->mutex);
    if (state->pending) {
      g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PENDING, "A read is already pending");
      g_object_unref(task);
      return;
    }
    state->pending = PendingRead{task, buffer, count, cancellable ? G_CANCELLABLE(g_object_ref(cancellable)) : nullptr, 0};
  }
  if (cancellable) {
    gulong handler = g_cancellable_connect(cancellable, G_CALLBACK(veltroBodyCancelled), g_object_ref(stream),
                                           g_object_unref);
    std::lock_guard lock(state->mutex);
    if (state->pending && state->pending->task == task) state->pending->cancelHandler = handler;
  }
  veltroBodyTryComplete(state);
}

static gssize veltroBodyReadFinish(GInputStream*, GAsyncResult* result, GError** error) {
  return g_task_propagate_int(G_TASK(result), error);
}

static gboolean veltroBodyClose(GInputStream* stream, GCancellable*, GError**) {
  auto* state = reinterpret_cast<VeltroBodyStream*>(stream)->state;
  if (state && state->body) state->body->cancel();
  return TRUE;
}

static void veltroBodyFinalize(GObject* object) {
  auto* self = reinterpret_cast<VeltroBodyStream*>(object);
  if (self->state) {
    if (self->state->body) self->state->body->cancel();
    delete self->state;
    self->state = nullptr;
  }
  G_OBJECT_CLASS(veltro_body_stream_parent_class)->finalize(object);
}

static void veltro_body_stream_class_init(VeltroBodyStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = veltroBodyFinalize;
  G_INPUT_STREAM_CLASS(klass)->read_fn = veltroBodyRead;
  G_INPUT_STREAM_CLASS(klass)->read_async = veltroBodyReadAsync;
  G_INPUT_STREAM_CLASS(klass)->read_finish = veltroBodyReadFinish;
  G_INPUT_STREAM_CLASS(klass)->close_fn = veltroBodyClose;
}

static void veltro_body_stream_init(VeltroBodyStream* self) { self->state = nullptr; }

namespace platform::webkit {
namespace {

// What a posted call keeps of an argument: a view of the handler's buffer becomes a string
// of its own, everything else is copied.
std::string owned(std::string_view text) { return std::string(text); }
template <typename T>
T owned(const T& value) {
  return value;
}

}  // namespace

template <typename... Params, typename... Args>
bool GtkURLSchemeTask::postedToMainThread(void (GtkURLSchemeTask::*method)(Params...), const Args&... args) {
  if (MainLoop::isMainThread()) return false;
  MainLoop::post([self = shared_from_this(), method, ... copies = owned(args)] { ((*self).*method)(copies...); });
  return true;
}

GtkURLSchemeTask::GtkURLSchemeTask(WebKitURISchemeRequest* request, std::weak_ptr<GtkWebView> webView)
    : schemeRequest_(platform::gtk::GObjectPtr<WebKitURISchemeRequest>::retain(request)),
      webView_(std::move(webView)),
      request_(requestFrom(request)) {}

// A request WebKit was never answered would leave the page waiting for ever. WebKit's request
// is answered and let go on the main thread only, also when the last holder of the task was
// a serving thread.
GtkURLSchemeTask::~GtkURLSchemeTask() {
  if (MainLoop::isMainThread() || !schemeRequest_) {
    stop();
    return;
  }
  MainLoop::post([request = std::move(schemeRequest_), done = done_]() mutable {
    if (!done) {
      GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, "Load cancelled");
      webkit_uri_scheme_request_finish_error(request.get(), error);
      g_error_free(error);
    }
    request.reset();
  });
}

void GtkURLSchemeTask::didReceiveResponse(const URLResponse& response) {
  if (postedToMainThread(&GtkURLSchemeTask::didReceiveResponse, response)) return;
  if (done_) return;
  response_ = response;
}

void GtkURLSchemeTask::didReceiveData(std::string_view data) {
  if (postedToMainThread(&GtkURLSchemeTask::didReceiveData, data)) return;
  if (done_) return;
  body_.append(data);
}

void GtkURLSchemeTask::didReceiveOwnedData(std::string data) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), data = std::move(data)]() mutable {
      self->didReceiveOwnedData(std::move(data));
    });
    return;
  }
  if (done_) return;
  if (body_.empty())
    body_ = std::move(data);
  else
    body_.append(data);
}

void GtkURLSchemeTask::didFinish() {
  if (postedToMainThread(&GtkURLSchemeTask::didFinish)) return;
  if (done_) return;
  std::string body = std::move(body_);
  body_.clear();
  finishWithBody(std::move(body));
}

void GtkURLSchemeTask::didReceiveAnswer(URLResponse response, std::string body) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), response = std::move(response), body = std::move(body)]() mutable {
      self->didReceiveAnswer(std::move(response), std::move(body));
    });
    return;
  }
  if (done_) return;
  response_ = std::move(response);
  if (!body_.empty()) {
    body_.append(body);
    body = std::move(body_);
    body_.clear();
  }
  finishWithBody(std::move(body));
}

void GtkURLSchemeTask::finishWithBody(std::string content) {
  // The stream takes the body over; it is freed when WebKit has read it.
  auto* body = new std::string(std::move(content));
  auto length = static_cast<gint64>(body->size());
  GBytes* bytes = g_bytes_new_with_free_func(
      body->data(), body->size(), [](gpointer data) { delete static_cast<std::string*>(data); }, body);
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  finishWithStream(stream, length);
  g_object_unref(stream);
}

void GtkURLSchemeTask::didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), fd, offset, length] { self->didReceiveFileBody(fd, offset, length); });
    return;
  }
  if (done_) {
    ::close(fd);
    return;
  }
  GInputStream* stream = makeFileRangeStream(fd, offset, length);
  finishWithStream(stream, std::max<std::int64_t>(0, length));
  g_object_unref(stream);
}

GInputStream* makeFileRangeStream(int fd, std::int64_t offset, std::int64_t length) {
  auto* stream = static_cast<VeltroFileRangeStream*>(g_object_new(veltro_file_range_stream_get_type(), nullptr));
  stream->fd = fd;
  stream->offset = offset;
  stream->remaining = std::max<std::int64_t>(0, length);
  stream->version = new fs::FileVersion(fs::FileVersion::of(fd));
  return G_INPUT_STREAM(stream);
}

GInputStream* makeBodyInputStream(std::shared_ptr<BodyStream> body) {
  auto* stream = static_cast<VeltroBodyStream*>(g_object_new(veltro_body_stream_get_type(), nullptr));
  stream->state = new BodyStreamState();
  stream->state->body = std::move(body);
  // The body tells the stream when a waiting read can go on.
  GWeakRef* weak = g_new0(GWeakRef, 1);
  g_weak_ref_init(weak, stream);
  std::shared_ptr<GWeakRef> held(weak, [](GWeakRef* ref) {
    g_weak_ref_clear(ref);
    g_free(ref);
  });
  stream->state->body->setReadableCallback([held] {
    if (GObject* alive = static_cast<GObject*>(g_weak_ref_get(held.get()))) {
      veltroBodyTryComplete(reinterpret_cast<VeltroBodyStream*>(alive)->state);
      g_object_unref(alive);
    }
  });
  return G_INPUT_STREAM(stream);
}

bool GtkURLSchemeTask::didReceiveBodyStream(const std::shared_ptr<BodyStream>& body) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), body] {
      if (!self->didReceiveBodyStream(body)) body->cancel();
    });
    return true;
  }
  if (done_) {
    body->cancel();
    return true;
  }
  // A length the response states is the length WebKit is told; otherwise it reads to the end.
  gint64 length = -1;
  if (response_ && response_->isHTTP())
    if (auto stated = response_->valueForHTTPHeaderField("Content-Length")) {
      char* end = nullptr;
      long long value = std::strtoll(stated->c_str(), &end, 10);
      if (end && *end == '\0' && value >= 0) length = value;
    }
  GInputStream* stream = makeBodyInputStream(body);
  finishWithStream(stream, length);
  g_object_unref(stream);
  return true;
}

void GtkURLSchemeTask::finishWithStream(GInputStream* stream, gint64 length) {
  done_ = true;
  URLResponse response = response_.value_or(URLResponse(request_.url(), "", std::nullopt, std::nullopt));
  WebKitURISchemeResponse* answer = webkit_uri_scheme_response_new(stream, length);

  // A plain (non-HTTP) response still reaches the page as a successful load.
  int status = response.isHTTP() ? response.statusCode() : 200;
  webkit_uri_scheme_response_set_status(answer, static_cast<guint>(status), nullptr);
  if (!response.mimeType().empty()) {
    std::string contentType = response.mimeType();
    if (response.textEncodingName()) contentType += "; charset=" + *response.textEncodingName();
    webkit_uri_scheme_response_set_content_type(answer, contentType.c_str());
  }
  if (response.isHTTP()) {
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (const auto& [name, value] : response.allHeaderFields())
      soup_message_headers_append(headers, name.c_str(), value.c_str());
    webkit_uri_scheme_response_set_http_headers(answer, headers);  // takes the headers
  }
  webkit_uri_scheme_request_finish_with_response(schemeRequest_.get(), answer);
  g_object_unref(answer);
  ended();
}

void GtkURLSchemeTask::didFailWithError(const Error& error) {
  if (postedToMainThread(&GtkURLSchemeTask::didFailWithError, error)) return;
  if (done_) return;
  done_ = true;
  GError* gerror = g_error_new_literal(g_quark_from_string(error.domain.c_str()), static_cast<gint>(error.code),
                                       error.localizedDescription().c_str());
  webkit_uri_scheme_request_finish_error(schemeRequest_.get(), gerror);
  g_error_free(gerror);
  ended();
}

void GtkURLSchemeTask::stop() {
  if (done_ || !schemeRequest_) return;
  done_ = true;
  GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, "Load cancelled");
  webkit_uri_scheme_request_finish_error(schemeRequest_.get(), error);
  g_error_free(error);
}

void GtkURLSchemeTask::ended() {
  // The view may hold the last reference to this task.
  auto keepAlive = shared_from_this();
  if (auto view = webView_.lock()) view->schemeTaskEnded(this);
}

}  // namespace platform::webkit
