#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/camera/VLCAMR.h"
#include "platform/camera/VLCAMREditorWindow.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/photos/PhotoLibrary.h"

using platform::photos::PhotoLibrary;

namespace {

std::mutex gConfigurationMutex;
VLCAMRFactory::Configuration gConfiguration;

constexpr GstClockTime kPictureTimeout = 10 * GST_SECOND;

void initGStreamer() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::string sourceDescription(const VLCAMRFactory::Configuration& configuration) {
  if (!configuration.source.empty()) return configuration.source;
  if (const char* fromEnvironment = std::getenv("VELTRO_CAMERA_SOURCE"); fromEnvironment && *fromEnvironment)
    return fromEnvironment;
  return platform::fs::exists("/dev/video0") ? "v4l2src" : "videotestsrc";
}

// Pipelines own their elements; this frees the pipeline however a capture ends.
struct Pipeline {
  GstElement* element = nullptr;
  Pipeline() = default;
  Pipeline(Pipeline&& other) noexcept : element(std::exchange(other.element, nullptr)) {}
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  Pipeline& operator=(Pipeline&&) = delete;
  ~Pipeline() {
    if (!element) return;
    gst_element_set_state(element, GST_STATE_NULL);
    gst_object_unref(element);
  }
};

std::optional<Pipeline> launch(const std::string& description) {
  initGStreamer();
  GError* error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &error);
  if (error) {
    platform::log("Camera: cannot build the pipeline \"" + description + "\": " + error->message);
    g_error_free(error);
    if (element) gst_object_unref(element);
    return std::nullopt;
  }
  Pipeline pipeline;
  pipeline.element = element;
  return pipeline;
}

// Logs the error a pipeline posted.
void logPipelineError(GstMessage* message) {
  GError* error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  platform::log(std::string("Camera: ") + (error ? error->message : "pipeline error"));
  if (error) g_error_free(error);
}

// Waits for the end of the stream; false (and a log line) on an error or time-out.
bool runToEnd(GstElement* pipeline, GstClockTime timeout) {
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return false;
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message =
      gst_bus_timed_pop_filtered(bus, timeout, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  if (!message) {
    platform::log("Camera: the pipeline did not finish in time");
    return false;
  }
  bool ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (!ended) logPipelineError(message);
  gst_message_unref(message);
  return ended;
}

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// How often a playing video is looked at, in real time; a shorter stall limit is looked at
// four times within it.
constexpr double kPlayPollSeconds = 0.25;

double monotonicSeconds() { return double(g_get_monotonic_time()) / G_USEC_PER_SEC; }

// Plays `pipeline` to its end, bounded by what can hang rather than by the video's length,
// which a stream need not tell and a long video may well exceed: the video must be ready to
// play within the configured start limit, and from then on its playing position must move
// within every stall limit, on the configured clock. False (and a log line) otherwise.
bool playToEnd(GstElement* pipeline, const VLCAMRFactory::Configuration& configuration) {
  std::function<double()> now = configuration.clock ? configuration.clock : monotonicSeconds;
  const double startLimit = configuration.playStartSeconds, stallLimit = configuration.playStallSeconds;
  const auto poll = GstClockTime(std::clamp(stallLimit / 4, 0.01, kPlayPollSeconds) * double(GST_SECOND));
  GstBus* bus = gst_element_get_bus(pipeline);
  // The player's own reason, when it gave one, and ours.
  auto failed = [&](const std::string& why) {
    if (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      logPipelineError(message);
      gst_message_unref(message);
    }
    platform::log("Camera: " + why);
    gst_object_unref(bus);
    return false;
  };

  if (gst_element_set_state(pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE)
    return failed("the video could not be opened");
  const double asked = now();
  while (true) {
    GstStateChangeReturn change = gst_element_get_state(pipeline, nullptr, nullptr, poll);
    if (change == GST_STATE_CHANGE_FAILURE) return failed("the video could not be opened");
    if (change == GST_STATE_CHANGE_SUCCESS || change == GST_STATE_CHANGE_NO_PREROLL) break;
    if (now() - asked > startLimit) return failed("the video did not start in time");
  }
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
    return failed("the video could not be played");

  std::optional<gint64> lastPosition;
  double lastMove = now();
  while (true) {
    if (GstMessage* message =
            gst_bus_timed_pop_filtered(bus, poll, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))) {
      bool ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
      if (!ended) logPipelineError(message);
      gst_message_unref(message);
      gst_object_unref(bus);
      return ended;
    }
    gint64 position = 0;
    if (gst_element_query_position(pipeline, GST_FORMAT_TIME, &position) && position != lastPosition) {
      lastPosition = position;
      lastMove = now();
    } else if (now() - lastMove > stallLimit) {
      return failed("the video stopped playing: its position has not moved for " +
                    std::to_string(int(std::ceil(stallLimit))) + " seconds");
    }
  }
}

std::string temporaryFolder() {
  std::string folder = platform::fs::appendPath(platform::paths::tmp(), "camera");
  platform::fs::createDirectory(folder, true);
  return folder;
}

std::string newTemporaryFile(const std::string& extension) {
  return platform::fs::appendPath(temporaryFolder(), platform::makeUUID() + "." + extension);
}

// An encoded picture of the pixbuf.
std::optional<std::string> encode(GdkPixbuf* pixbuf, VLCAMREncodingType type, long long quality) {
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  gboolean saved;
  if (type == VLCAMREncodingType::png) {
    saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, nullptr);
  } else {
    std::string q = std::to_string(std::clamp(quality, 1LL, 100LL));
    saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", &error, "quality", q.c_str(), nullptr);
  }
  if (!saved) {
    platform::log(std::string("Camera: cannot encode the picture: ") + (error ? error->message : "unknown"));
    if (error) g_error_free(error);
    return std::nullopt;
  }
  std::string bytes(buffer, size);
  g_free(buffer);
  return bytes;
}

struct PixbufHolder {
  GdkPixbuf* pixbuf = nullptr;
  PixbufHolder() = default;
  explicit PixbufHolder(GdkPixbuf* adopted) : pixbuf(adopted) {}
  PixbufHolder(PixbufHolder&& other) noexcept : pixbuf(std::exchange(other.pixbuf, nullptr)) {}
  PixbufHolder(const PixbufHolder&) = delete;
  PixbufHolder& operator=(const PixbufHolder&) = delete;
  PixbufHolder& operator=(PixbufHolder&& other) noexcept {
    std::swap(pixbuf, other.pixbuf);
    return *this;
  }
  ~PixbufHolder() {
    if (pixbuf) g_object_unref(pixbuf);
  }
  int width() const { return gdk_pixbuf_get_width(pixbuf); }
  int height() const { return gdk_pixbuf_get_height(pixbuf); }
};

bool withinLimits(long long width, long long height) {
  return width > 0 && height > 0 && width <= VLCAMRImage::kMaxSide && height <= VLCAMRImage::kMaxSide &&
         std::uint64_t(width) * std::uint64_t(height) <= VLCAMRImage::kMaxPixels;
}

struct LoaderState {
  bool tooLarge = false;
  int width = 0;
  int height = 0;
};

void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  auto* state = static_cast<LoaderState*>(data);
  state->width = width;
  state->height = height;
  if (!withinLimits(width, height)) {
    state->tooLarge = true;
    // A size of 0 by 0 makes the loader give up before it allocates any pixels.
    gdk_pixbuf_loader_set_size(loader, 0, 0);
  }
}

// A picture's pixels and the format they were stored in ("png", "jpeg", ...).
struct Decoded {
  PixbufHolder pixels;
  std::string format;
};

// Decodes within the limits: the byte count first, then the size the header claims, before
// any pixels are allocated.
std::optional<Decoded> decodePicture(std::string_view bytes, VLCAMRError& error) {
  if (bytes.empty()) {
    error.code = VLCAMRError::invalidImageData;
    return std::nullopt;
  }
  if (bytes.size() > VLCAMRImage::kMaxBytes) {
    error.code = VLCAMRError::imageTooLarge;
    return std::nullopt;
  }
  LoaderState state;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &state);
  bool ok = true;
  constexpr size_t kChunk = 64 * 1024;
  for (size_t offset = 0; ok && offset < bytes.size() && !state.tooLarge; offset += kChunk) {
    size_t length = std::min(kChunk, bytes.size() - offset);
    ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data() + offset), length, nullptr);
  }
  ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  std::optional<Decoded> decoded;
  if (ok && pixbuf && !state.tooLarge) {
    decoded.emplace();
    decoded->pixels = PixbufHolder(GDK_PIXBUF(g_object_ref(pixbuf)));
    if (GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader)) {
      gchar* name = gdk_pixbuf_format_get_name(format);
      decoded->format = name ? name : "";
      g_free(name);
    }
  }
  g_object_unref(loader);
  if (!decoded) error.code = state.tooLarge ? VLCAMRError::imageTooLarge : VLCAMRError::invalidImageData;
  return decoded;
}

// What editing a picture asks for.
struct EditRequest {
  bool crop = false;  // let the user choose the part to keep
  VLCAMRSize size;    // the size to end with; a side of 0 or less follows the other side
  bool correctOrientation = false;
};

// The part of the picture the editor keeps, held inside the picture; nullopt when nothing is
// left or the person cancelled.
std::optional<VLCAMRCrop> cropOf(GdkPixbuf* picture, VLCAMRSize target) {
  int width = gdk_pixbuf_get_width(picture), height = gdk_pixbuf_get_height(picture);
  auto editor = VLCAMRFactory::configuration().editor;
  VLCAMRCrop crop;
  if (editor) {
    crop = editor(width, height);
  } else {
    crop = VLCAMRFactory::targetCrop(width, height, target);
    if (VLCAMRCanAskPerson()) {
      auto chosen = VLCAMREditInWindow(picture, crop, target);
      if (!chosen) return std::nullopt;
      crop = *chosen;
    }
  }
  long long left = std::clamp<long long>(crop.x, 0, width), top = std::clamp<long long>(crop.y, 0, height);
  long long right = std::clamp<long long>(static_cast<long long>(crop.x) + crop.width, left, width);
  long long bottom = std::clamp<long long>(static_cast<long long>(crop.y) + crop.height, top, height);
  if (right <= left || bottom <= top) return std::nullopt;
  return VLCAMRCrop{int(left), int(top), int(right - left), int(bottom - top)};
}

// The picture after the edits of `request`; `changed` tells whether it differs from `source`.
// A requested size over the limits is refused, as is a crop that keeps nothing.
std::optional<PixbufHolder> applyEdits(GdkPixbuf* source, const EditRequest& request, bool& changed,
                                       VLCAMRError& error) {
  changed = false;
  PixbufHolder picture(GDK_PIXBUF(g_object_ref(source)));
  if (request.correctOrientation) {
    const gchar* orientation = gdk_pixbuf_get_option(source, "orientation");
    if (orientation && std::string_view(orientation) != "1") {
      picture = PixbufHolder(gdk_pixbuf_apply_embedded_orientation(source));
      changed = true;
    }
  }
  if (request.crop) {
    auto crop = cropOf(picture.pixbuf, request.size);
    if (!crop) {
      error.code = VLCAMRError::editPictureIssue;
      return std::nullopt;
    }
    if (*crop != VLCAMRCrop{0, 0, picture.width(), picture.height()}) {
      // A copy, so that the kept part does not hold the whole picture's pixels.
      PixbufHolder part(gdk_pixbuf_new_subpixbuf(picture.pixbuf, crop->x, crop->y, crop->width, crop->height));
      picture = PixbufHolder(gdk_pixbuf_copy(part.pixbuf));
      changed = true;
    }
  }
  long long width = request.size.width, height = request.size.height;
  int sourceWidth = picture.width(), sourceHeight = picture.height();
  if (width > 0 && height <= 0) height = std::max(1LL, std::llround(double(width) * sourceHeight / sourceWidth));
  if (height > 0 && width <= 0) width = std::max(1LL, std::llround(double(height) * sourceWidth / sourceHeight));
  if (width <= 0 || height <= 0 || (width == sourceWidth && height == sourceHeight)) return picture;
  if (!withinLimits(width, height)) {
    error.code = VLCAMRError::imageTooLarge;
    return std::nullopt;
  }
  // Scaled to cover the requested size and centred, so the answer has exactly that size and
  // nothing is stretched.
  PixbufHolder scaled(
      gdk_pixbuf_new(GDK_COLORSPACE_RGB, gdk_pixbuf_get_has_alpha(picture.pixbuf), 8, int(width), int(height)));
  if (!scaled.pixbuf) {
    error.code = VLCAMRError::imageTooLarge;
    return std::nullopt;
  }
  double scale = std::max(double(width) / sourceWidth, double(height) / sourceHeight);
  gdk_pixbuf_scale(picture.pixbuf, scaled.pixbuf, 0, 0, int(width), int(height), (width - sourceWidth * scale) / 2,
                   (height - sourceHeight * scale) / 2, scale, scale, GDK_INTERP_BILINEAR);
  changed = true;
  return scaled;
}

// One whole frame from the camera, at the size the camera gives. It is never scaled here to a
// size of other proportions: the scaler would keep the frame's shape by adding black borders,
// and the crop to the target's proportions (or the editing window) needs the whole frame.
std::optional<PixbufHolder> grabFrame(const std::string& source) {
  std::string caps = "video/x-raw,format=RGB,pixel-aspect-ratio=1/1";
  auto pipeline = launch(source + " ! videoconvert ! videoscale ! " + caps +
                         " ! appsink name=sink max-buffers=1 drop=true sync=false");
  if (!pipeline) return std::nullopt;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline->element), "sink");
  if (!sink) return std::nullopt;
  gst_element_set_state(pipeline->element, GST_STATE_PLAYING);
  GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), kPictureTimeout);
  gst_object_unref(sink);
  if (!sample) {
    platform::log("Camera: no frame came from \"" + source + "\"");
    return std::nullopt;
  }
  std::optional<PixbufHolder> frame;
  GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
  int width = 0, height = 0;
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height) &&
      buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    int stride = GST_ROUND_UP_4(width * 3);
    if (map.size >= gsize(stride) * gsize(height)) {
      GBytes* pixels = g_bytes_new(map.data, gsize(stride) * gsize(height));
      frame.emplace(gdk_pixbuf_new_from_bytes(pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height, stride));
      g_bytes_unref(pixels);
    }
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return frame;
}

std::string fileURL(const std::string& path) { return platform::URL::fileURL(path).absoluteString(); }

// Edited pictures keep PNG (and its transparency); every other format becomes JPEG.
VLCAMREncodingType encodingFor(const std::string& format) {
  return format == "png" ? VLCAMREncodingType::png : VLCAMREncodingType::jpeg;
}
const char* extensionOf(VLCAMREncodingType type) { return type == VLCAMREncodingType::png ? "png" : "jpg"; }
// The quality of pictures that editing encodes again.
constexpr long long kEditQuality = 92;

class CameraWrapper : public VLCAMRActionDelegate {
 public:
  CameraWrapper(std::weak_ptr<VLCAMRCallbackDelegate> delegate, std::weak_ptr<platform::Object> host)
      : delegate_(std::move(delegate)), host_(std::move(host)) {}

  void captureMedia(const VLCAMRMediaOptions& options, const std::string& tag) override {
    if (auto* picture = dynamic_cast<const VLCAMRPictureOptions*>(&options)) return takePicture(*picture, tag);
    if (auto* video = dynamic_cast<const VLCAMRVideoOptions*>(&options)) return recordVideo(*video, tag);
    fail(tag, VLCAMRError::takePictureIssue);
  }

  void choosePicture(bool allowEdit, const std::string& tag) override {
    auto chosen = choose(VLCAMRMediaType::picture, false);
    if (!chosen) return fail(tag, VLCAMRError::photoLibraryUnavailable);
    if (chosen->empty()) return fail(tag, VLCAMRError::noMediaFound);
    if (!allowEdit) return answer(tag, chosen->front().url());
    VLCAMRError error{VLCAMRError::editPictureIssue};
    auto uri = editedCopy(chosen->front(), error);
    if (!uri) return fail(tag, error.code);
    answer(tag, *uri);
  }

  void chooseMultimedia(VLCAMRMediaType mediaType, bool multiple, bool includeMetadata, bool allowEdit,
                        const std::string& tag) override {
    auto chosen = choose(mediaType, multiple);
    if (!chosen) return fail(tag, VLCAMRError::photoLibraryUnavailable);
    platform::Value list = platform::Value::array();
    for (const auto& asset : *chosen) {
      bool video = asset.kind == platform::photos::MediaKind::Video;
      std::optional<std::string> uri = asset.url();
      VLCAMRError error{VLCAMRError::chooseMultimediaIssue};
      if (allowEdit && !video) uri = editedCopy(asset, error);
      if (!uri) return fail(tag, error.code);
      platform::Value item{{"uri", *uri}, {"type", video ? "video" : "image"}};
      if (includeMetadata)
        item["metadata"] = {{"size", asset.size},
                            {"name", asset.fileName()},
                            {"lastModifiedDate", asset.date.value_or(0) * 1000.0}};
      list.push_back(std::move(item));
    }
    answer(tag, platform::jsonText(list));
  }

  void editPicture(const VLCAMRImage& image, const std::string& tag) override {
    editBytes(image.data, VLCAMREditOptions(false, false), tag);
  }

  void editPicture(const std::string& uri, const VLCAMREditOptions& options, const std::string& tag) override {
    VLCAMRError error{VLCAMRError::editPictureIssue};
    auto bytes = readPicture(pathOfPicture(uri), error);
    if (!bytes) return fail(tag, error.code);
    editBytes(*bytes, options, tag);
  }

  void playVideo(const platform::URL& url, PlayCompletion completion) override {
    auto uri = playableURI(url);
    if (!uri) {
      platform::log("Camera: refused to play \"" + url.absoluteString() + "\"");
      return completion(VLCAMRError{VLCAMRError::playVideoIssue});
    }
    std::thread([uri = *uri, completion = std::move(completion)] {
      bool played = false;
      // The player is gone (its connections closed) before the answer goes out.
      if (auto pipeline = launch("playbin")) {
        g_object_set(pipeline->element, "uri", uri.c_str(), nullptr);
        played = playToEnd(pipeline->element, VLCAMRFactory::configuration());
      }
      completion(played ? std::nullopt : std::optional(VLCAMRError{VLCAMRError::playVideoIssue}));
    }).detach();
  }

  // What the player may be given: a regular file that a page may reach (its folders of the data
  // root or the package), or an http or https URL with a host. Any other URI would let the page
  // choose what the player opens: a socket that listens ("udp:"), a device, the shell's state.
  static std::optional<std::string> playableURI(const platform::URL& url) {
    std::string scheme = platform::asciiLower(url.scheme());
    if (scheme == "http" || scheme == "https") {
      if (url.host().empty()) return std::nullopt;
      return url.absoluteString();
    }
    if (scheme != "file") return std::nullopt;
    std::string path = realPath(url.path());
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (!platform::paths::pageMayReach(path)) return std::nullopt;
    return fileURL(path);
  }

  void cleanTemporaryFiles() override { platform::fs::remove(temporaryFolder()); }

 private:
  void answer(const std::string& tag, std::optional<std::string> result) {
    if (auto delegate = delegate_.lock()) delegate->callback(tag, result, std::nullopt);
  }
  void fail(const std::string& tag, VLCAMRError::Code code) {
    if (auto delegate = delegate_.lock()) delegate->callback(tag, std::nullopt, VLCAMRError{code});
  }

  // Answers with the file's URL, after keeping a copy in the gallery when asked; with
  // metadata, the URL and `metadata` (plus the gallery's URL of the copy).
  void deliver(const std::string& tag, const std::string& path, bool saveToPhotoAlbum, bool returnMetadata,
               platform::Value metadata) {
    std::optional<std::string> saved;
    if (saveToPhotoAlbum) saved = PhotoLibrary().addFile(path);
    if (!returnMetadata) return answer(tag, fileURL(path));
    if (saved) metadata["assetURL"] = *saved;
    answer(tag, platform::jsonText(platform::Value{{"uri", fileURL(path)}, {"metadata", std::move(metadata)}}));
  }

  // The picture encoded into a new temporary file; its path, or nullopt when it cannot be written.
  static std::optional<std::string> writePicture(GdkPixbuf* picture, VLCAMREncodingType type, long long quality,
                                                 std::string* bytes) {
    auto encoded = encode(picture, type, quality);
    if (!encoded) return std::nullopt;
    std::string path = newTemporaryFile(extensionOf(type));
    if (platform::fs::writeFileAtomically(path, *encoded)) return std::nullopt;
    if (bytes) *bytes = std::move(*encoded);
    return path;
  }

  void takePicture(const VLCAMRPictureOptions& options, const std::string& tag) {
    const VLCAMRSize& size = options.size;
    if ((size.width > 0 || size.height > 0) && !withinLimits(std::max(size.width, 1LL), std::max(size.height, 1LL)))
      return fail(tag, VLCAMRError::imageTooLarge);
    auto frame = grabFrame(sourceDescription(VLCAMRFactory::configuration()));
    if (!frame || !frame->pixbuf) return fail(tag, VLCAMRError::cameraUnavailable);
    VLCAMRError error{VLCAMRError::takePictureIssue};
    bool changed = false;
    auto picture = applyEdits(frame->pixbuf, {options.allowEdit, options.size, options.correctOrientation}, changed,
                              error);
    if (!picture) return fail(tag, error.code);
    std::string bytes;
    auto path = writePicture(picture->pixbuf, options.encodingType, options.quality, &bytes);
    if (!path) return fail(tag, VLCAMRError::takePictureIssue);
    deliver(tag, *path, options.saveToPhotoAlbum, options.returnMetadata,
            {{"width", picture->width()}, {"height", picture->height()}, {"size", bytes.size()}});
  }

  void recordVideo(const VLCAMRVideoOptions& options, const std::string& tag) {
    auto configuration = VLCAMRFactory::configuration();
    int fps = std::clamp(configuration.videoFramesPerSecond, 1, 60);
    int frames = std::max(1, int(configuration.videoSeconds * fps));
    std::string path = newTemporaryFile("avi");
    auto pipeline = launch(sourceDescription(configuration) + " name=camera-source ! videorate ! video/x-raw,framerate=" +
                           std::to_string(fps) + "/1 ! videoconvert ! jpegenc ! avimux ! filesink name=output");
    if (!pipeline) return fail(tag, VLCAMRError::cameraUnavailable);
    if (GstElement* output = gst_bin_get_by_name(GST_BIN(pipeline->element), "output")) {
      g_object_set(output, "location", path.c_str(), nullptr);
      gst_object_unref(output);
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline->element), "camera-source");
    if (source) {
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "num-buffers"))
        g_object_set(source, "num-buffers", frames, nullptr);
      gst_object_unref(source);
    }
    GstClockTime limit = GstClockTime((configuration.videoSeconds + 30) * double(GST_SECOND));
    if (!runToEnd(pipeline->element, limit)) {
      platform::fs::remove(path);
      return fail(tag, VLCAMRError::captureVideoIssue);
    }
    deliver(tag, path, options.saveToPhotoAlbum, options.returnMetadata,
            {{"size", platform::fs::fileSize(path).value_or(0)}, {"frames", frames}});
  }

  // The assets to answer with, newest first; nullopt when the library refused access.
  std::optional<std::vector<platform::photos::Asset>> choose(VLCAMRMediaType mediaType, bool multiple) {
    if (!PhotoLibrary::isAuthorized()) return std::nullopt;
    std::vector<platform::photos::Asset> offered;
    for (auto& asset : PhotoLibrary().allAssets()) {
      bool video = asset.kind == platform::photos::MediaKind::Video;
      if (mediaType == VLCAMRMediaType::all || video == (mediaType == VLCAMRMediaType::video))
        offered.push_back(std::move(asset));
    }
    auto chooser = VLCAMRFactory::configuration().chooser;
    auto indexes = chooser ? chooser(offered, multiple) : VLCAMRFactory::defaultChoice(offered, multiple);
    std::vector<platform::photos::Asset> chosen;
    for (size_t index : indexes) {
      if (index < offered.size()) chosen.push_back(offered[index]);
      if (!multiple && !chosen.empty()) break;
    }
    return chosen;
  }

  // The file of a picture named by a "file:" URL where a page may reach it or by a
  // photo-library URL; "" for anything else.
  static std::string pathOfPicture(const std::string& uri) {
    auto url = platform::URL::parse(uri);
    if (!url) return "";
    if (url->scheme() == "file") {
      std::string path = platform::fs::normalizePath(url->path());
      return platform::paths::pageMayReach(path) ? path : "";
    }
    if (url->scheme() != "assets-library") return "";
    auto found = PhotoLibrary().assetForURLNow(*url);
    return found.asset ? found.asset->path : "";
  }

  // Whether an opened picture really lies where a page may reach it or in the photo library
  // (links resolved: a link planted there to a file elsewhere is not read).
  static bool isReadablePicture(const std::string& realPath) {
    if (realPath.empty()) return false;
    if (platform::paths::pageMayReach(realPath)) return true;
    char root[PATH_MAX];
    if (!::realpath(platform::paths::dataRoot().c_str(), root)) return false;
    return platform::fs::isInside(realPath, platform::fs::appendPath(root, "Media/DCIM"));
  }

  // The bytes of the picture at `path`, refused when larger than an editable picture may be.
  // Only a regular file is read (a FIFO is not waited on), never through a final link, and
  // only one that lies where isReadablePicture allows.
  static std::optional<std::string> readPicture(const std::string& path, VLCAMRError& error) {
    if (path.empty()) return std::nullopt;
    platform::fs::ReadableFile file = platform::fs::ReadableFile::open(path, false);
    if (!file.isOpen()) return std::nullopt;
    if (!isReadablePicture(file.realPath())) {
      platform::log("Refused to read the picture " + path + ": it leads outside the page's folders.");
      return std::nullopt;
    }
    if (file.size() > VLCAMRImage::kMaxBytes) {
      error.code = VLCAMRError::imageTooLarge;
      return std::nullopt;
    }
    std::string bytes;
    char buffer[64 * 1024];
    while (true) {
      ssize_t n = ::read(file.fd(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) return bytes;
      if (bytes.size() + size_t(n) > VLCAMRImage::kMaxBytes) {
        error.code = VLCAMRError::imageTooLarge;
        return std::nullopt;
      }
      bytes.append(buffer, size_t(n));
    }
  }

  // A gallery picture after the user's edit: the asset's own URL when nothing changed, else
  // the URL of an edited copy in the temporary folder.
  std::optional<std::string> editedCopy(const platform::photos::Asset& asset, VLCAMRError& error) {
    auto bytes = readPicture(asset.path, error);
    if (!bytes) return std::nullopt;
    auto decoded = decodePicture(*bytes, error);
    if (!decoded) return std::nullopt;
    bool changed = false;
    auto picture = applyEdits(decoded->pixels.pixbuf, {true, {}, true}, changed, error);
    if (!picture) return std::nullopt;
    if (!changed) return asset.url();
    auto path = writePicture(picture->pixbuf, encodingFor(decoded->format), kEditQuality, nullptr);
    if (!path) {
      error.code = VLCAMRError::editPictureIssue;
      return std::nullopt;
    }
    return fileURL(*path);
  }

  // Edits the picture in `bytes` and answers with the file that holds the result; a picture
  // the user left as it was keeps its own bytes.
  void editBytes(const std::string& bytes, const VLCAMREditOptions& options, const std::string& tag) {
    VLCAMRError error{VLCAMRError::editPictureIssue};
    auto decoded = decodePicture(bytes, error);
    if (!decoded) return fail(tag, error.code);
    bool changed = false;
    auto picture = applyEdits(decoded->pixels.pixbuf, {true, {}, true}, changed, error);
    if (!picture) return fail(tag, error.code);
    VLCAMREncodingType type = encodingFor(decoded->format);
    std::optional<std::string> path;
    std::string written;
    if (changed || (decoded->format != "png" && decoded->format != "jpeg")) {
      path = writePicture(picture->pixbuf, type, kEditQuality, &written);
    } else {
      path = newTemporaryFile(extensionOf(type));
      written = bytes;
      if (platform::fs::writeFileAtomically(*path, bytes)) path.reset();
    }
    if (!path) return fail(tag, VLCAMRError::editPictureIssue);
    deliver(tag, *path, options.saveToPhotoAlbum, options.returnMetadata,
            {{"width", picture->width()}, {"height", picture->height()}, {"size", written.size()}});
  }

  std::weak_ptr<VLCAMRCallbackDelegate> delegate_;
  std::weak_ptr<platform::Object> host_;
};


}  // namespace

std::string VLCAMRError::localizedDescription() const {
  switch (code) {
    case takePictureIssue: return "The picture could not be taken.";
    case invalidImageData: return "The image data is not a picture.";
    case editPictureIssue: return "The picture could not be edited.";
    case captureVideoIssue: return "The video could not be recorded.";
    case chooseMultimediaIssue: return "The media could not be chosen from the gallery.";
    case playVideoIssue: return "The video could not be played.";
    case cameraUnavailable: return "No camera is available.";
    case imageTooLarge: return "The picture is too large to edit.";
    case photoLibraryUnavailable: return "The photo library cannot be reached.";
    case noMediaFound: return "The gallery has nothing to choose.";
  }
  return "Unknown camera error.";
}

std::optional<VLCAMREncodingType> VLCAMREncodingTypeFromRawValue(long long raw) {
  if (raw == 0 || raw == 1) return VLCAMREncodingType(raw);
  return std::nullopt;
}

std::optional<VLCAMRDirection> VLCAMRDirectionFromRawValue(long long raw) {
  if (raw == 0 || raw == 1) return VLCAMRDirection(raw);
  return std::nullopt;
}

std::optional<VLCAMRMediaType> VLCAMRMediaTypeFrom(long long raw) {
  if (raw >= 0 && raw <= 2) return VLCAMRMediaType(raw);
  return std::nullopt;
}

std::optional<VLCAMRImage> VLCAMRImage::decode(std::string_view bytes, VLCAMRError* error) {
  VLCAMRError refusal;
  auto decoded = decodePicture(bytes, refusal);
  if (!decoded) {
    if (error) *error = refusal;
    return std::nullopt;
  }
  return VLCAMRImage{std::string(bytes), decoded->pixels.width(), decoded->pixels.height()};
}

void VLCAMRFactory::setConfiguration(Configuration configuration) {
  std::lock_guard lock(gConfigurationMutex);
  gConfiguration = std::move(configuration);
}

VLCAMRFactory::Configuration VLCAMRFactory::configuration() {
  std::lock_guard lock(gConfigurationMutex);
  return gConfiguration;
}

std::shared_ptr<VLCAMRActionDelegate> VLCAMRFactory::createCameraWrapper(
    const std::shared_ptr<VLCAMRCallbackDelegate>& delegate, const std::shared_ptr<platform::Object>& host) {
  return std::make_shared<CameraWrapper>(delegate, host);
}
