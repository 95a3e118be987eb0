// A GStreamer source for the application's own URL schemes ("app:", "veltro:"), loaded by
// WebKit's media player in the web process. WebKit's player hands URLs of schemes it does not
// serve itself to GStreamer; without an element for them a <video> of the page's own origin
// fails at once. This element reads such a URL through the shell: the shell's media endpoint
// (an HTTP server on a UNIX socket under a secret path, both named in the web process's
// environment) answers it with the web view's own scheme handler, so every rule of the scheme
// holds. A socket rather than loopback: WebKit's sandbox gives the web process a network of
// its own, but the socket's folder is given to it.
//
// It is a random-access source: a read at the position the open answer has reached goes on
// reading it; any other position opens a new request there. Each request asks for a window of
// kWindow bytes ("Range: bytes=N-M"), and the next window is asked for when one is read: a
// handler that gives its answers whole (as the "veltro" scheme does for now) then never holds
// more than a window of a large clip for the player. Nothing is held here beyond the block
// GStreamer asked for.
//
// The environment:
//   VELTRO_MEDIA_SCHEMES   the schemes to claim, comma-separated ("app,veltro")
//   VELTRO_MEDIA_SOCKET    the endpoint's socket, an absolute path
//   VELTRO_MEDIA_SECRET    the secret the endpoint's paths begin with
// GStreamer keeps the schemes of each element in its registry cache; the plugin declares its
// dependency on VELTRO_MEDIA_SCHEMES, so the registry reads the plugin again when they change.

#include <gio/gio.h>
#include <gst/base/gstbasesrc.h>
#include <gst/gst.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(veltro_media_src_debug);
#define GST_CAT_DEFAULT veltro_media_src_debug

namespace {

constexpr const char* kSchemesVariable = "VELTRO_MEDIA_SCHEMES";
constexpr const char* kSocketVariable = "VELTRO_MEDIA_SOCKET";
constexpr const char* kSecretVariable = "VELTRO_MEDIA_SECRET";
// A read ahead of the open answer's position by at most this much skips the bytes between
// instead of asking again: cheaper than a new request for the small jumps demuxers make.
constexpr guint64 kMaxSkip = 512 * 1024;
constexpr guint64 kWindow = 8 * 1024 * 1024;
constexpr gsize kMaxHeaderLine = 8192;
constexpr int kMaxHeaderLines = 100;
// How long one connection or read may stall before the request fails.
constexpr guint kSocketTimeoutSeconds = 30;

// Schemes the web engine serves itself are never claimed, whatever the environment says.
bool isWebEngineScheme(const std::string& scheme) {
  static const char* const kEngineSchemes[] = {"http", "https", "file", "blob", "data", "about", "ws", "wss",
                                               "webkit+http", "webkit+https", "webkit+blob"};
  for (const char* engine : kEngineSchemes)
    if (g_ascii_strcasecmp(engine, scheme.c_str()) == 0) return true;
  return false;
}

bool isSchemeName(const std::string& scheme) {
  if (scheme.empty() || !g_ascii_isalpha(scheme[0])) return false;
  for (char c : scheme)
    if (!g_ascii_isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

// The schemes from the environment, lower case, once per process: the element's class keeps
// the list for as long as the process lives.
const gchar* const* claimedSchemes() {
  static gchar** schemes = [] {
    std::vector<std::string> kept;
    if (const char* listed = g_getenv(kSchemesVariable)) {
      gchar** parts = g_strsplit(listed, ",", -1);
      for (gchar** part = parts; *part; ++part) {
        gchar* lowered = g_ascii_strdown(g_strstrip(*part), -1);
        std::string scheme = lowered;
        g_free(lowered);
        if (isSchemeName(scheme) && !isWebEngineScheme(scheme)) kept.push_back(scheme);
      }
      g_strfreev(parts);
    }
    auto** list = g_new0(gchar*, kept.size() + 1);
    for (size_t i = 0; i < kept.size(); ++i) list[i] = g_strdup(kept[i].c_str());
    return list;
  }();
  return schemes;
}

struct Endpoint {
  std::string socket;
  std::string prefix;  // "/<secret>"
};

bool endpointFromEnvironment(Endpoint& endpoint) {
  const char* socket = g_getenv(kSocketVariable);
  const char* secret = g_getenv(kSecretVariable);
  if (!socket || !g_path_is_absolute(socket) || !secret || !*secret) return false;
  for (const char* c = secret; *c; ++c)
    if (!g_ascii_isxdigit(*c)) return false;
  endpoint.socket = socket;
  endpoint.prefix = std::string("/") + secret;
  return true;
}

// The endpoint's path for `uri`: "<prefix>/<scheme>/<authority><path>[?query]", with the
// path and query as the URI has them (already percent-encoded). Empty for a URI of a scheme
// not claimed or without an authority.
std::string endpointPathFor(const Endpoint& endpoint, const char* uri) {
  GUri* parsed = g_uri_parse(uri, static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS), nullptr);
  if (!parsed) return {};
  std::string path;
  const char* scheme = g_uri_get_scheme(parsed);
  const char* host = g_uri_get_host(parsed);
  if (scheme && host && *host && !g_uri_get_userinfo(parsed)) {
    gchar* lowered = g_ascii_strdown(scheme, -1);
    path = endpoint.prefix + "/" + lowered + "/" + host;
    g_free(lowered);
    if (g_uri_get_port(parsed) > 0) path += ":" + std::to_string(g_uri_get_port(parsed));
    const char* rest = g_uri_get_path(parsed);
    path += (rest && *rest) ? rest : "/";
    if (const char* query = g_uri_get_query(parsed)) path += std::string("?") + query;
  }
  g_uri_unref(parsed);
  // Nothing that could end the request line or split a header gets through.
  for (char c : path)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return {};
  return path;
}

}  // namespace

struct VeltroMediaSrc {
  GstBaseSrc parent;
  gchar* uri;
  GCancellable* cancellable;
  GSocketConnection* connection;
  GDataInputStream* body;
  guint64 position;  // the offset of the next byte the open answer gives
  guint64 answerEnd;  // the offset just past its last byte
  guint64 size;
  gboolean sizeKnown;
  gboolean seekable;
};

struct VeltroMediaSrcClass {
  GstBaseSrcClass parent_class;
};

enum { PROP_0, PROP_LOCATION };

static void veltro_media_src_uri_handler_init(gpointer iface, gpointer);

G_DEFINE_TYPE_WITH_CODE(VeltroMediaSrc, veltro_media_src, GST_TYPE_BASE_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, veltro_media_src_uri_handler_init))

static GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

static void closeAnswer(VeltroMediaSrc* self) {
  if (self->body) g_object_unref(self->body);
  self->body = nullptr;
  if (self->connection) {
    g_io_stream_close(G_IO_STREAM(self->connection), nullptr, nullptr);
    g_object_unref(self->connection);
  }
  self->connection = nullptr;
}

static bool headerIs(const char* line, const char* name, const char** value) {
  size_t length = std::strlen(name);
  if (g_ascii_strncasecmp(line, name, length) != 0 || line[length] != ':') return false;
  const char* rest = line + length + 1;
  while (*rest == ' ' || *rest == '\t') ++rest;
  *value = rest;
  return true;
}

enum class Opened { Ok, End, Failed };

// Asks the endpoint for the bytes from `offset` on and reads the answer's head.
static Opened openAnswer(VeltroMediaSrc* self, guint64 offset) {
  closeAnswer(self);
  Endpoint endpoint;
  if (!endpointFromEnvironment(endpoint)) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("The shell's media endpoint is not set"),
                      ("%s or %s is missing or malformed", kSocketVariable, kSecretVariable));
    return Opened::Failed;
  }
  std::string path = endpointPathFor(endpoint, self->uri ? self->uri : "");
  if (path.empty()) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Not a URL of the application's schemes"), ("%s", self->uri));
    return Opened::Failed;
  }

  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_enable_proxy(client, FALSE);
  g_socket_client_set_timeout(client, kSocketTimeoutSeconds);
  GError* error = nullptr;
  GSocketAddress* address = g_unix_socket_address_new(endpoint.socket.c_str());
  self->connection = g_socket_client_connect(client, G_SOCKET_CONNECTABLE(address), self->cancellable, &error);
  g_object_unref(address);
  g_object_unref(client);
  if (!self->connection) {
    bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (!cancelled)
      GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("Cannot reach the shell's media endpoint"), ("%s", error->message));
    g_clear_error(&error);
    return Opened::Failed;
  }

  // A window that reaches past the end is cut to it: not every server cuts it itself.
  guint64 last = offset + kWindow - 1;
  if (self->sizeKnown && self->size > offset) last = MIN(last, self->size - 1);
  gchar* request = g_strdup_printf("GET %s HTTP/1.1\r\nHost: localhost\r\nRange: bytes=%" G_GUINT64_FORMAT
                                   "-%" G_GUINT64_FORMAT "\r\nConnection: close\r\n\r\n",
                                   path.c_str(), offset, last);
  GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(self->connection));
  gboolean written = g_output_stream_write_all(out, request, std::strlen(request), nullptr, self->cancellable, &error);
  g_free(request);
  if (!written) {
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
      GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Cannot ask the shell's media endpoint"), ("%s", error->message));
    g_clear_error(&error);
    closeAnswer(self);
    return Opened::Failed;
  }

  self->body = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(self->connection)));
  g_data_input_stream_set_newline_type(self->body, G_DATA_STREAM_NEWLINE_TYPE_CR_LF);
  g_buffered_input_stream_set_buffer_size(G_BUFFERED_INPUT_STREAM(self->body), 64 * 1024);

  int status = 0;
  gint64 contentLength = -1;
  gint64 rangeStart = -1, rangeEnd = -1, rangeTotal = -1;
  bool acceptsRanges = false;
  for (int lineNumber = 0;; ++lineNumber) {
    gsize length = 0;
    gchar* line = g_data_input_stream_read_line(self->body, &length, self->cancellable, &error);
    if (!line || length > kMaxHeaderLine || lineNumber > kMaxHeaderLines) {
      if (error && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("The shell's media endpoint did not answer"), ("%s", error->message));
      else if (!error)
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("The shell's media endpoint gave a malformed answer"), (nullptr));
      g_clear_error(&error);
      g_free(line);
      closeAnswer(self);
      return Opened::Failed;
    }
    if (lineNumber == 0) {
      // "HTTP/1.1 206 Partial Content"
      const char* space = std::strchr(line, ' ');
      status = space ? std::atoi(space + 1) : 0;
    } else if (length == 0) {
      g_free(line);
      break;
    } else {
      const char* value = nullptr;
      if (headerIs(line, "Content-Length", &value)) {
        contentLength = g_ascii_strtoll(value, nullptr, 10);
      } else if (headerIs(line, "Content-Range", &value)) {
        // "bytes a-b/total" or "bytes */total"
        if (g_str_has_prefix(value, "bytes ")) {
          const char* range = value + 6;
          if (*range != '*') {
            gchar* end = nullptr;
            rangeStart = g_ascii_strtoll(range, &end, 10);
            if (end && *end == '-') rangeEnd = g_ascii_strtoll(end + 1, nullptr, 10);
          }
          if (const char* slash = std::strchr(range, '/')) {
            if (slash[1] != '*') rangeTotal = g_ascii_strtoll(slash + 1, nullptr, 10);
          }
        }
      } else if (headerIs(line, "Accept-Ranges", &value)) {
        acceptsRanges = g_ascii_strncasecmp(value, "bytes", 5) == 0;
      }
    }
    g_free(line);
  }

  if (status == 416) {
    bool wasKnown = self->sizeKnown;
    if (rangeTotal >= 0) {
      self->size = static_cast<guint64>(rangeTotal);
      self->sizeKnown = TRUE;
    }
    closeAnswer(self);
    // A window past the end of a file smaller than it: asked again, cut to the file.
    if (!wasKnown && self->sizeKnown && offset < self->size) return openAnswer(self, offset);
    return Opened::End;
  }
  if (status == 206 && rangeStart == static_cast<gint64>(offset) && rangeEnd >= rangeStart &&
      rangeTotal > rangeStart) {
    self->size = static_cast<guint64>(rangeTotal);
    self->sizeKnown = TRUE;
    self->seekable = TRUE;
    // Some servers name a last byte past the end of the file; the file's end is the answer's.
    self->answerEnd = MIN(static_cast<guint64>(rangeEnd) + 1, self->size);
    if (contentLength >= 0) self->answerEnd = MIN(self->answerEnd, offset + static_cast<guint64>(contentLength));
  } else if (status == 200 && offset == 0) {
    if (contentLength >= 0) {
      self->size = static_cast<guint64>(contentLength);
      self->sizeKnown = TRUE;
    }
    self->seekable = acceptsRanges && self->sizeKnown;
    self->answerEnd = self->sizeKnown ? self->size : G_MAXUINT64;
  } else {
    if (status == 401 || status == 403)
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_AUTHORIZED, ("The shell refused the media request"),
                        ("%s: status %d", self->uri, status));
    else
      GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("The shell has no such media"), ("%s: status %d", self->uri, status));
    closeAnswer(self);
    return Opened::Failed;
  }
  self->position = offset;
  return Opened::Ok;
}

static gboolean veltroMediaStart(GstBaseSrc* src) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(src);
  self->sizeKnown = FALSE;
  self->seekable = FALSE;
  self->position = 0;
  // The first answer tells the size, which GStreamer asks for before it reads.
  return openAnswer(self, 0) != Opened::Failed;
}

static gboolean veltroMediaStop(GstBaseSrc* src) {
  closeAnswer(reinterpret_cast<VeltroMediaSrc*>(src));
  return TRUE;
}

static gboolean veltroMediaGetSize(GstBaseSrc* src, guint64* size) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(src);
  if (!self->sizeKnown) return FALSE;
  *size = self->size;
  return TRUE;
}

static gboolean veltroMediaIsSeekable(GstBaseSrc* src) { return reinterpret_cast<VeltroMediaSrc*>(src)->seekable; }

static gboolean veltroMediaUnlock(GstBaseSrc* src) {
  g_cancellable_cancel(reinterpret_cast<VeltroMediaSrc*>(src)->cancellable);
  return TRUE;
}

static gboolean veltroMediaUnlockStop(GstBaseSrc* src) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(src);
  // A read that was cancelled left the answer at an unknown position.
  if (g_cancellable_is_cancelled(self->cancellable)) closeAnswer(self);
  g_cancellable_reset(self->cancellable);
  return TRUE;
}

// Reads `want` bytes into `data` from the open answer; answers how many came before its end.
static gssize readAnswer(VeltroMediaSrc* self, guint8* data, gsize want, GError** error) {
  gsize got = 0;
  if (!g_input_stream_read_all(G_INPUT_STREAM(self->body), data, want, &got, self->cancellable, error)) return -1;
  self->position += got;
  return static_cast<gssize>(got);
}

static GstFlowReturn veltroMediaCreate(GstBaseSrc* src, guint64 offset, guint length, GstBuffer** buffer) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(src);
  if (self->sizeKnown && offset >= self->size) return GST_FLOW_EOS;
  if (self->sizeKnown) length = static_cast<guint>(MIN(static_cast<guint64>(length), self->size - offset));

  GstBuffer* made = gst_buffer_new_allocate(nullptr, length, nullptr);
  GstMapInfo map;
  gst_buffer_map(made, &map, GST_MAP_WRITE);
  gsize filled = 0;
  // One new request is allowed for an answer that ended early (the shell closes a connection
  // that waited too long on a paused player).
  int reopened = 0;
  GstFlowReturn flow = GST_FLOW_OK;
  while (filled < length) {
    guint64 at = offset + filled;
    bool usable = self->body && at >= self->position && at - self->position <= kMaxSkip && at < self->answerEnd;
    if (!usable) {
      Opened opened = openAnswer(self, at);
      if (opened == Opened::End) break;
      if (opened == Opened::Failed) {
        flow = g_cancellable_is_cancelled(self->cancellable) ? GST_FLOW_FLUSHING : GST_FLOW_ERROR;
        break;
      }
    }
    GError* error = nullptr;
    if (at > self->position) {
      gsize skip = static_cast<gsize>(at - self->position);
      gssize skipped = g_input_stream_skip(G_INPUT_STREAM(self->body), skip, self->cancellable, &error);
      if (skipped >= 0) self->position += static_cast<guint64>(skipped);
      if (skipped != static_cast<gssize>(skip)) {
        g_clear_error(&error);
        closeAnswer(self);
        if (g_cancellable_is_cancelled(self->cancellable)) {
          flow = GST_FLOW_FLUSHING;
          break;
        }
        if (++reopened > 1) break;
        continue;
      }
    }
    gsize want = static_cast<gsize>(MIN(static_cast<guint64>(length - filled), self->answerEnd - self->position));
    gssize got = readAnswer(self, map.data + filled, want, &error);
    if (got < 0) {
      bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
      if (!cancelled) GST_WARNING_OBJECT(self, "Reading %s failed: %s", self->uri, error->message);
      g_clear_error(&error);
      closeAnswer(self);
      if (cancelled) {
        flow = GST_FLOW_FLUSHING;
        break;
      }
      if (++reopened > 1) {
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Reading the media failed"), ("%s", self->uri));
        flow = GST_FLOW_ERROR;
        break;
      }
      continue;
    }
    filled += static_cast<gsize>(got);
    if (self->position == self->answerEnd) {
      // The window is read: the next one is asked for when it is needed.
      closeAnswer(self);
    } else if (static_cast<gsize>(got) < want) {
      // The answer ended before the bytes it promised.
      closeAnswer(self);
      if (!self->sizeKnown || ++reopened > 1) break;
    }
  }
  gst_buffer_unmap(made, &map);
  if (flow != GST_FLOW_OK) {
    gst_buffer_unref(made);
    return flow;
  }
  if (filled == 0) {
    gst_buffer_unref(made);
    return GST_FLOW_EOS;
  }
  gst_buffer_set_size(made, static_cast<gssize>(filled));
  GST_BUFFER_OFFSET(made) = offset;
  GST_BUFFER_OFFSET_END(made) = offset + filled;
  *buffer = made;
  return GST_FLOW_OK;
}

static gboolean setLocation(VeltroMediaSrc* self, const gchar* uri, GError** error) {
  GstState state = GST_STATE(self);
  if (state != GST_STATE_READY && state != GST_STATE_NULL) {
    g_set_error_literal(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE, "Changing the location of a running source");
    return FALSE;
  }
  if (uri) {
    gchar* scheme = g_uri_parse_scheme(uri);
    bool claimed = false;
    for (const gchar* const* each = claimedSchemes(); scheme && *each; ++each)
      if (g_ascii_strcasecmp(*each, scheme) == 0) claimed = true;
    g_free(scheme);
    if (!claimed) {
      g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_UNSUPPORTED_PROTOCOL, "Not a scheme of the application: %s", uri);
      return FALSE;
    }
  }
  g_free(self->uri);
  self->uri = g_strdup(uri);
  return TRUE;
}

static void veltroMediaSetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(object);
  if (id == PROP_LOCATION) {
    GError* error = nullptr;
    if (!setLocation(self, g_value_get_string(value), &error)) {
      GST_WARNING_OBJECT(self, "%s", error->message);
      g_clear_error(&error);
    }
    return;
  }
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

static void veltroMediaGetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(object);
  if (id == PROP_LOCATION) {
    g_value_set_string(value, self->uri);
    return;
  }
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

static void veltroMediaFinalize(GObject* object) {
  auto* self = reinterpret_cast<VeltroMediaSrc*>(object);
  closeAnswer(self);
  g_free(self->uri);
  g_object_unref(self->cancellable);
  G_OBJECT_CLASS(veltro_media_src_parent_class)->finalize(object);
}

static void veltro_media_src_class_init(VeltroMediaSrcClass* klass) {
  auto* objectClass = G_OBJECT_CLASS(klass);
  objectClass->set_property = veltroMediaSetProperty;
  objectClass->get_property = veltroMediaGetProperty;
  objectClass->finalize = veltroMediaFinalize;
  g_object_class_install_property(
      objectClass, PROP_LOCATION,
      g_param_spec_string("location", "Location", "The URL of the application's scheme to read", nullptr,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  auto* elementClass = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "Veltro application scheme source", "Source/File",
                                        "Reads media of the application's own URL schemes through the shell",
                                        "Veltro");

  auto* baseClass = GST_BASE_SRC_CLASS(klass);
  baseClass->start = veltroMediaStart;
  baseClass->stop = veltroMediaStop;
  baseClass->get_size = veltroMediaGetSize;
  baseClass->is_seekable = veltroMediaIsSeekable;
  baseClass->unlock = veltroMediaUnlock;
  baseClass->unlock_stop = veltroMediaUnlockStop;
  baseClass->create = veltroMediaCreate;
}

static void veltro_media_src_init(VeltroMediaSrc* self) {
  self->cancellable = g_cancellable_new();
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_BYTES);
  gst_base_src_set_blocksize(GST_BASE_SRC(self), 64 * 1024);
}

static GstURIType veltroMediaUriType(GType) { return GST_URI_SRC; }

static const gchar* const* veltroMediaProtocols(GType) { return claimedSchemes(); }

static gchar* veltroMediaGetUri(GstURIHandler* handler) {
  return g_strdup(reinterpret_cast<VeltroMediaSrc*>(handler)->uri);
}

static gboolean veltroMediaSetUri(GstURIHandler* handler, const gchar* uri, GError** error) {
  return setLocation(reinterpret_cast<VeltroMediaSrc*>(handler), uri, error);
}

static void veltro_media_src_uri_handler_init(gpointer iface, gpointer) {
  auto* handler = static_cast<GstURIHandlerInterface*>(iface);
  handler->get_type = veltroMediaUriType;
  handler->get_protocols = veltroMediaProtocols;
  handler->get_uri = veltroMediaGetUri;
  handler->set_uri = veltroMediaSetUri;
}

static gboolean pluginInit(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(veltro_media_src_debug, "veltromediasrc", 0, "Veltro application scheme source");
  // The schemes the element claims come from the environment: GStreamer reads the plugin
  // again whenever they differ from those its registry cache was made with.
  const gchar* variables[] = {kSchemesVariable, nullptr};
  gst_plugin_add_dependency(plugin, variables, nullptr, nullptr, GST_PLUGIN_DEPENDENCY_FLAG_NONE);
  // Without schemes to claim, the plugin offers no element.
  if (!claimedSchemes()[0]) return TRUE;
  return gst_element_register(plugin, "veltromediasrc", GST_RANK_PRIMARY, veltro_media_src_get_type());
}

#define PACKAGE "veltro"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, veltromedia, "Media of the application's own URL schemes",
                  pluginInit, "0.1.0", "Proprietary", "veltro", "veltro")
